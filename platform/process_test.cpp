// Helper programs: their status pipe, standard error, exit codes, a missing
// program, and arguments that no shell ever reads.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

TEST(ProcessTest, RunsAnArgumentVectorWithAPrivateStatusPipe) {
  // The status goes to descriptor 5, standard error to its own pipe,
  // standard output nowhere; a shell metacharacter in an argument is just
  // text.
  ProcessRun run = run_process({"/bin/sh", "-c", "echo \"[S] $1\" >&5; echo oops >&2; echo out; exit 3", "sh",
                                "a; touch /nonexistent-ovn8 `x`"},
                               5);
  EXPECT_EQ(0u, run.startError);
  EXPECT_EQ(3, run.exitStatus);
  EXPECT_EQ("[S] a; touch /nonexistent-ovn8 `x`\n", run.status);
  EXPECT_EQ("oops\n", run.errorText);
  EXPECT_NE(0, access("/nonexistent-ovn8", F_OK));

  // No other descriptor of ours reaches the child: one we hold open is
  // closed there.
  const int opened = open("/dev/null", O_RDONLY);
  const int ours = fcntl(opened, F_DUPFD, 50);
  close(opened);
  ASSERT_GE(ours, 50);
  run = run_process({"/bin/sh", "-c", "if [ -e /proc/self/fd/" + std::to_string(ours) +
                                          " ]; then echo leaked >&4; fi; echo ok >&4"},
                    4);
  close(ours);
  EXPECT_EQ("ok\n", run.status);
  EXPECT_EQ(0, run.exitStatus);

  run = run_process({"/bin/sh", "-c", "kill -TERM $$"}, -1);
  EXPECT_EQ(128 + 15, run.exitStatus);
}

TEST(ProcessTest, AFileOfOursCanBeTheChildsInput) {
  char name[] = "/tmp/ovn8-process-XXXXXX";
  const int file = mkstemp(name);
  ASSERT_GE(file, 0);
  unlink(name);
  ASSERT_EQ(5, write(file, "kit\n\n", 5));
  ASSERT_EQ(0, lseek(file, 0, SEEK_SET));
  const ProcessRun run = run_process({"/bin/sh", "-c", "cat >&3"}, 3, file);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("kit\n\n", run.status);
  // The child's status pipe may take the very number our file has.
  ASSERT_EQ(0, lseek(file, 0, SEEK_SET));
  const std::string status = "cat >&" + std::to_string(file);
  EXPECT_EQ("kit\n\n", run_process({"/bin/sh", "-c", status}, file, file).status);
  // Without one, the input is empty.
  EXPECT_EQ("", run_process({"/bin/sh", "-c", "cat >&3"}, 3).status);
  close(file);
}

TEST(ProcessTest, AMissingProgramIsToldApart) {
  ProcessRun run = run_process({"/nonexistent/gpgv", "--version"}, 3);
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), run.startError);
  EXPECT_EQ(uint32_t(ERROR_INVALID_PARAMETER), run_process({}, 3).startError);
  EXPECT_EQ(uint32_t(ERROR_INVALID_PARAMETER), run_process({"/bin/true"}, 1).startError);
  // Much on standard error and the status pipe at once does not stall.
  run = run_process({"/bin/sh", "-c", "i=0; while [ $i -lt 3000 ]; do echo status line $i >&3; echo "
                                      "error line $i >&2; i=$((i+1)); done"},
                    3);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ(3000u, size_t(std::count(run.status.begin(), run.status.end(), '\n')));
  EXPECT_FALSE(run.errorText.empty());
}

}  // namespace
