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

TEST(TargetLockTest, OneInstallationPerDirectoryTreeWhateverThePath) {
  ScratchDir scratch;
  const std::string dir = scratch / "tmplts";
  makeDirs(dir + "/inner/deeper");
  mkdir((scratch / "sibling").c_str(), 0755);
  ASSERT_EQ(0, symlink(dir.c_str(), (scratch / "link").c_str()));
  TargetLock first;
  ASSERT_EQ(0u, first.acquire(w(dir + "/")));
  EXPECT_TRUE(first.held());
  EXPECT_EQ(w(dir), first.directory());
  EXPECT_TRUE(first.missingLevels().empty());

  // The same directory however the path is written, a folder inside it and
  // a folder around it are refused; a folder beside it is not.
  for (const std::string& other :
       std::vector<std::string>{dir + "//", scratch / "link", dir + "/inner/deeper", scratch.path()}) {
    TargetLock second;
    EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), second.acquire(w(other))) << other;
    EXPECT_FALSE(second.held());
    EXPECT_TRUE(target_is_busy(w(other))) << other;
  }
  TargetLock beside;
  EXPECT_EQ(0u, beside.acquire(w(scratch / "sibling")));
  beside.release();

  // The other way round: a run inside holds off one around it.
  first.release();
  TargetLock inner;
  ASSERT_EQ(0u, inner.acquire(w(dir + "/inner")));
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), first.acquire(w(scratch / "link")));
  EXPECT_EQ(0u, beside.acquire(w(scratch / "sibling")));
  inner.release();
  EXPECT_EQ(0u, first.acquire(w(dir)));
  EXPECT_TRUE(target_is_busy(w(scratch / "sibling")));
  beside.release();
  EXPECT_FALSE(target_is_busy(w(scratch / "sibling")));
}

TEST(TargetLockTest, TheLockEndsWithItsProcess) {
  ScratchDir scratch;
  const std::string dir = scratch / "t";
  makeDirs(dir + "/sub");
  const pid_t child = hold_in_child(dir + "/sub");
  ASSERT_GT(child, 0);
  TargetLock lock;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), lock.acquire(w(dir)));
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), lock.acquire(w(dir + "/sub")));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(0u, lock.acquire(w(dir)));
}

TEST(TargetLockTest, AMissingDirectoryIsNamedNotMadeAndLockedOnceMade) {
  ScratchDir scratch;
  const std::string top = scratch / "a";
  const std::string dir = top + "/b/c";
  TargetLock lock;
  ASSERT_EQ(0u, lock.acquire(w(dir + "/")));
  EXPECT_FALSE(exists(top));
  EXPECT_FALSE(lock.held());
  const std::vector<std::u16string> missing = {w(top), w(top + "/b"), w(dir)};
  EXPECT_EQ(missing, lock.missingLevels());
  EXPECT_TRUE(lock.existingLevel().isDirectory());

  // The level that exists is held as the folder around the target.
  TargetLock around;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), around.acquire(w(scratch.path())));
  EXPECT_EQ(uint32_t(ERROR_PATH_NOT_FOUND), lock.lockCreated());
  makeDirs(dir);
  ASSERT_EQ(0u, lock.lockCreated());
  EXPECT_TRUE(lock.held());
  TargetLock second;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), second.acquire(w(dir)));
}

TEST(TargetLockTest, FailuresAreReportedAndLeaveNoHandle) {
  ScratchDir scratch;
  writeFile(scratch / "file", "not a directory", 1000);
  TargetLock lock;
  EXPECT_EQ(uint32_t(ERROR_DIRECTORY), lock.acquire(w(scratch / "file")));
  EXPECT_EQ(ERROR_NOT_A_FOLDER, lock.acquire(w(scratch / "file/below")));
  EXPECT_FALSE(lock.held());
  EXPECT_EQ(uint32_t(ERROR_PATH_NOT_FOUND), lock.acquire(u""));

  const std::string dir = scratch / "t";
  mkdir(dir.c_str(), 0755);
  for (FileOp op : {FileOp::GetFileStatus, FileOp::GetFinalPathName}) {
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
  // The directory's own lock failing fails the whole; a folder around it
  // that cannot be locked (no read permission, no locks there) does not.
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::LockFileEx}).below(w(dir));
    EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), lock.acquire(w(dir)));
    EXPECT_FALSE(lock.held());
  }
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::CreateFile});
    EXPECT_EQ(0u, lock.acquire(w(dir)));
    EXPECT_TRUE(fault.fired());
    EXPECT_TRUE(lock.held());
  }
}

}  // namespace
