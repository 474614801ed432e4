#include "platform/regular_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/file_fault_injector.h"
#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

class RegularFileTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  ScratchDir dir_;
};

TEST_F(RegularFileTest, ReadsWholeFilesUpToTheLimitAndNothingElse) {
  const std::string text(40000, 'q');  // more than one chunk
  ASSERT_TRUE(writeText(dir_ / "f", text));
  std::string bytes = "stale";
  EXPECT_EQ(0u, read_regular_file(wide(dir_ / "f"), 40000, bytes));
  EXPECT_EQ(text, bytes);
  EXPECT_EQ(13u, read_regular_file(wide(dir_ / "f"), 39999, bytes));
  EXPECT_EQ("", bytes);
  // The system's reports say size 0 but are read whole.
  EXPECT_EQ(0u, read_regular_file(u"/proc/self/status", 1 << 16, bytes));
  EXPECT_NE(std::string::npos, bytes.find("Umask:"));

  EXPECT_EQ(2u, read_regular_file(wide(dir_ / "missing"), 100, bytes));
  // A FIFO is refused at once (no writer would ever come), a device and a
  // folder as well.
  ASSERT_EQ(0, mkfifo((dir_ / "fifo").c_str(), 0600));
  EXPECT_EQ(13u, read_regular_file(wide(dir_ / "fifo"), 100, bytes));
  EXPECT_EQ(13u, read_regular_file(u"/dev/zero", 100, bytes));
  EXPECT_EQ(13u, read_regular_file(wide(dir_.path()), 100, bytes));
  EXPECT_EQ("", bytes);
}

TEST_F(RegularFileTest, EveryFailingStepIsReportedAndLeavesNothingRead) {
  ASSERT_TRUE(writeText(dir_ / "f", "content"));
  const uint32_t kError = errorFromErrNo(EIO);
  for (uint64_t k = 1;; ++k) {
    std::string bytes = "stale";
    FileFaultInjector fault(k, kError);
    fault.below(wide(dir_ / "f"));
    const uint32_t result = read_regular_file(wide(dir_ / "f"), 100, bytes);
    if (!fault.fired()) {
      EXPECT_EQ(0u, result);
      EXPECT_EQ("content", bytes);
      EXPECT_GE(k, 4u);  // open, look, read, close
      break;
    }
    // A failed close after a whole read does not lose the bytes.
    if (fault.firedOp() == FileOp::CloseHandle) continue;
    EXPECT_EQ(kError, result) << k;
    EXPECT_EQ("", bytes) << k;
  }
}

}  // namespace
