#include "install/target_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "install/install_test_util.h"
#include "platform/file_fault_injector.h"

using namespace install_test;

namespace {

std::u16string w(const std::string& text) { return widen_lib(text); }

// A child process that holds the lock on `dir` until it is killed.
pid_t hold_in_child(const std::string& dir) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    TargetLock lock;
    const char answer = lock.acquire(w(dir)) == ERROR_SUCCESS ? 'y' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char answer = 0;
  const bool held = read(ready[0], &answer, 1) == 1 && answer == 'y';
  close(ready[0]);
  return held ? child : -1;
}

TEST(TargetLockTest, OneHolderPerDirectoryUntilReleased) {
  ScratchDir scratch;
  const std::string dir = scratch / "tmplts";
  mkdir(dir.c_str(), 0755);
  TargetLock first;
  ASSERT_EQ(0u, first.acquire(w(dir + "/")));
  EXPECT_TRUE(first.held());
  EXPECT_EQ(w(dir), first.directory());
  EXPECT_TRUE(first.createdDirectories().empty());

  // Another handle on the same directory, however the path is written.
  TargetLock second;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), second.acquire(w(dir + "//")));
  EXPECT_FALSE(second.held());
  TargetLock elsewhere;
  mkdir((dir + "/inner").c_str(), 0755);
  EXPECT_EQ(0u, elsewhere.acquire(w(dir + "/inner")));  // a subfolder is another target

  first.release();
  EXPECT_FALSE(first.held());
  EXPECT_EQ(0u, second.acquire(w(dir)));
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), first.acquire(w(dir)));
}

TEST(TargetLockTest, TheLockEndsWithItsProcess) {
  ScratchDir scratch;
  const std::string dir = scratch / "t";
  mkdir(dir.c_str(), 0755);
  const pid_t child = hold_in_child(dir);
  ASSERT_GT(child, 0);
  TargetLock lock;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), lock.acquire(w(dir)));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(0u, lock.acquire(w(dir)));
}

TEST(TargetLockTest, MissingLevelsAreMadeLockedAndTakenAwayWhenEmpty) {
  ScratchDir scratch;
  const std::string top = scratch / "a";
  const std::string dir = top + "/b/c";
  TargetLock lock;
  ASSERT_EQ(0u, lock.acquire(w(dir + "/")));
  EXPECT_TRUE(isDir(dir));
  const std::vector<std::u16string> made = {w(top), w(top + "/b"), w(dir)};
  EXPECT_EQ(made, lock.createdDirectories());

  // A second wizard finds the directory locked and leaves it alone.
  TargetLock second;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), second.acquire(w(dir)));
  EXPECT_TRUE(second.createdDirectories().empty());
  EXPECT_TRUE(isDir(dir));

  lock.removeCreatedDirectories();
  EXPECT_FALSE(exists(top));
  EXPECT_TRUE(lock.createdDirectories().empty());

  // A level that holds something stays, and so do the levels around it.
  ASSERT_EQ(0u, second.acquire(w(dir)));
  writeFile(top + "/b/kept.txt", "x", 1000);
  second.removeCreatedDirectories();
  EXPECT_FALSE(exists(dir));
  EXPECT_TRUE(exists(top + "/b/kept.txt"));
}

TEST(TargetLockTest, FailuresAreReportedAndLeaveNoHandle) {
  ScratchDir scratch;
  writeFile(scratch / "file", "not a directory", 1000);
  TargetLock lock;
  uint32_t result = lock.acquire(w(scratch / "file"));
  EXPECT_NE(0u, result);
  EXPECT_NE(uint32_t(ERROR_LOCK_VIOLATION), result);
  result = lock.acquire(w(scratch / "file/below"));
  EXPECT_NE(0u, result);
  EXPECT_FALSE(lock.held());
  EXPECT_EQ(uint32_t(ERROR_PATH_NOT_FOUND), lock.acquire(u""));

  const std::string dir = scratch / "t";
  for (FileOp op : {FileOp::CreateOneDirectory, FileOp::GetFileStatus, FileOp::CreateFile,
                    FileOp::LockFileEx}) {
    {
      FileFaultInjector fault(1, ERROR_INVALID_NAME);
      fault.only({op});
      EXPECT_EQ(uint32_t(ERROR_INVALID_NAME), lock.acquire(w(dir)));
      EXPECT_FALSE(lock.held());
    }
    // The failed try holds nothing: a fresh lock gets the directory.
    TargetLock other;
    EXPECT_EQ(0u, other.acquire(w(dir))) << int(op);
  }
}

}  // namespace
