#include "platform/stop_signals.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/file_system_test_util.h"

namespace {

using fs_test::ScratchDir;
using fs_test::exists;

// Runs `body` in a child process; its wait status.
template <class Body>
int in_child(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// SIGINT ends the process by SIGINT, so that a shell loop around the
// wizard stops; the others end it with `status`.
void expect_ended_by(int signal, int status, int waitStatus) {
  if (signal == SIGINT) {
    ASSERT_TRUE(WIFSIGNALED(waitStatus));
    EXPECT_EQ(SIGINT, WTERMSIG(waitStatus));
  } else {
    ASSERT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(status, WEXITSTATUS(waitStatus));
  }
}

TEST(StopSignalsTest, OutsideARunEachSignalRemovesTheRegisteredFilesAndEndsWithThree) {
  ScratchDir scratch;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(signal);
    const std::string kept = scratch / "kept", gone = scratch / "odkAAAAAA", forgotten = scratch / "f";
    for (const std::string& path : {kept, gone, forgotten}) fs_test::writeText(path, "x");
    const int status = in_child([&] {
      install_stop_signal_handlers();
      register_temporary_file(fs_test::wide(gone));
      forget_temporary_file(register_temporary_file(fs_test::wide(forgotten)));
      raise(signal);
      _exit(0);  // not reached
    });
    expect_ended_by(signal, kStoppedBySignalStatus, status);
    EXPECT_FALSE(exists(gone));
    EXPECT_TRUE(exists(kept));
    EXPECT_TRUE(exists(forgotten));
  }
}

TEST(StopSignalsTest, DuringARunSignalsAreOnlyRecordedUntilAllowedAgain) {
  ScratchDir scratch;
  const std::string temp = scratch / "temp";
  fs_test::writeText(temp, "x");
  const int status = in_child([&] {
    install_stop_signal_handlers();
    register_temporary_file(fs_test::wide(temp));
    defer_stop_signals();
    if (stop_requested()) _exit(10);
    raise(SIGHUP);
    raise(SIGTERM);  // a second one during the rollback changes nothing
    if (!stop_requested()) _exit(11);
    if (!fs_test::exists(temp)) _exit(12);
    allow_stop_signals();
    if (!stop_requested()) _exit(13);  // still known after the run
    clear_stop_request();
    if (stop_requested()) _exit(14);
    raise(SIGTERM);
    _exit(15);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kStoppedBySignalStatus, WEXITSTATUS(status));
  EXPECT_FALSE(exists(temp));
}

TEST(StopSignalsTest, AfterARunASignalEndsWithItsStatusAndCtrlCEndsBySigint) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    // A signal while the run's last box waits: the run's own status.
    int status = in_child([&] {
      install_stop_signal_handlers();
      set_stop_signal_exit_status(4);
      raise(signal);
      _exit(0);
    });
    expect_ended_by(signal, 4, status);
    // During the run it is only recorded; once everything is put back the
    // program ends as the signal asks.
    status = in_child([&] {
      install_stop_signal_handlers();
      defer_stop_signals();
      raise(signal);
      allow_stop_signals();
      if (stop_signal() != signal) _exit(20);
      _exit(end_as_stop_signal_asks(kStoppedBySignalStatus));
    });
    expect_ended_by(signal, kStoppedBySignalStatus, status);
  }
}

TEST(StopSignalsTest, SlotsAreReusedAndRunOut) {
  std::vector<int> slots;
  for (int i = 0; i < 8; ++i) slots.push_back(register_temporary_file(u"/nonexistent/odk" + std::u16string(1, char16_t(u'a' + i))));
  for (int slot : slots) EXPECT_GE(slot, 0);
  EXPECT_EQ(-1, register_temporary_file(u"/nonexistent/one-too-many"));
  EXPECT_EQ(-1, register_temporary_file(u""));
  forget_temporary_file(slots[3]);
  EXPECT_EQ(slots[3], register_temporary_file(u"/nonexistent/again"));
  forget_temporary_file(slots[3]);
  for (int slot : slots) forget_temporary_file(slot);
  forget_temporary_file(-1);
  forget_temporary_file(99);
}


// A write to a pipe nobody reads fails and the process goes on; a child
// given the default back ends there as programs usually do.
TEST(StopSignalsTest, AClosedPipeFailsAWriteInsteadOfEndingTheProcess) {
  const auto writeToClosedPipe = [] {
    int ends[2];
    if (pipe(ends) != 0) _exit(10);
    close(ends[0]);
    const ssize_t written = write(ends[1], "x", 1);
    return written < 0 && errno == EPIPE;
  };
  const int status = in_child([&] {
    keep_running_when_output_closes();
    if (!writeToClosedPipe()) _exit(11);
    restore_closed_output_default();
    writeToClosedPipe();
    _exit(12);  // not reached
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  EXPECT_EQ(SIGPIPE, WTERMSIG(status));
}

}  // namespace
