// Locks, syncs and the single-step operations the installation journal is
// built on.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/file_fault_injector.h"
#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

HANDLE openOrFail(const std::string& path) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  EXPECT_EQ(0u, FileSystem::CreateFile(wide(path), GENERIC_READ, 0, OPEN_EXISTING, handle))
      << path;
  return handle;
}

uint32_t tryExclusive(HANDLE handle) {
  return FileSystem::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                ~0u, ~0u, nullptr);
}

// Whether another process can take the exclusive lock on `path` right now.
bool lockFreeForAnotherProcess(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (FileSystem::CreateFile(wide(path), GENERIC_READ, 0, OPEN_EXISTING, handle) != 0) _exit(2);
    _exit(tryExclusive(handle) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FileLocks, ExclusiveLockRefusesASecondHolderAndDiesWithItsProcess) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  // A directory is locked as well as a file.
  for (const std::string& path : {dir.path(), dir / "lock"}) {
    if (path != dir.path()) {
      ASSERT_TRUE(writeText(path, ""));
    }
    HANDLE first = openOrFail(path);
    HANDLE second = openOrFail(path);
    EXPECT_EQ(0u, tryExclusive(first));
    EXPECT_EQ(33u, tryExclusive(second));
    EXPECT_EQ(33u, FileSystem::GetLastError());
    EXPECT_FALSE(lockFreeForAnotherProcess(path));
    EXPECT_EQ(0u, FileSystem::UnlockFileEx(first, 0, ~0u, ~0u, nullptr));
    EXPECT_TRUE(lockFreeForAnotherProcess(path));
    EXPECT_EQ(0u, tryExclusive(second));
    // Closing the handle ends its lock.
    EXPECT_EQ(0u, FileSystem::CloseHandle(second));
    EXPECT_EQ(0u, tryExclusive(first));
    EXPECT_EQ(0u, FileSystem::CloseHandle(first));
  }

  // A process that dies holding the lock gives it up.
  pid_t child = fork();
  if (child == 0) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    FileSystem::CreateFile(wide(dir / "lock"), GENERIC_READ, 0, OPEN_EXISTING, handle);
    if (tryExclusive(handle) != 0) _exit(1);
    kill(getpid(), SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(lockFreeForAnotherProcess(dir / "lock"));

  EXPECT_EQ(6u, tryExclusive(INVALID_HANDLE_VALUE));
  EXPECT_EQ(6u, FileSystem::FlushFileBuffers(INVALID_HANDLE_VALUE));
}

TEST(FileSyncs, FlushesFilesDirectoriesAndFileSystems) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeText(dir / "file", "bytes"));
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, FileSystem::CreateFile(wide(dir / "file"), GENERIC_WRITE, 0, OPEN_EXISTING,
                                       handle));
  EXPECT_EQ(0u, FileSystem::FlushFileBuffers(handle));
  EXPECT_EQ(0u, FileSystem::StartWriteBack(handle));
  EXPECT_EQ(0u, FileSystem::CloseHandle(handle));
  EXPECT_EQ(6u, FileSystem::StartWriteBack(INVALID_HANDLE_VALUE));
  EXPECT_EQ(0u, FileSystem::FlushDirectory(wide(dir.path())));
  EXPECT_EQ(0u, FileSystem::FlushFileSystem(wide(dir.path())));
  EXPECT_EQ(0u, FileSystem::FlushFileSystem(wide(dir / "file")));
  EXPECT_EQ(2u, FileSystem::FlushDirectory(wide(dir / "missing")));
  EXPECT_EQ(ERROR_NOT_A_FOLDER, FileSystem::FlushDirectory(wide(dir / "file")));
  EXPECT_EQ(2u, FileSystem::FlushFileSystem(wide(dir / "missing")));
}

TEST(MoveFileEx, RenamesInOneStepAndNeverCopiesUnlessAllowed) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeText(dir / "a", "new"));
  ASSERT_TRUE(writeText(dir / "b", "old"));
  // Without the replace flag the destination stays.
  EXPECT_EQ(183u, FileSystem::MoveFileEx(wide(dir / "a"), wide(dir / "b"), 0));
  EXPECT_EQ("old", readText(dir / "b"));
  EXPECT_EQ(0u, FileSystem::MoveFileEx(wide(dir / "a"), wide(dir / "b"),
                                       MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("new", readText(dir / "b"));
  EXPECT_FALSE(exists(dir / "a"));
  EXPECT_EQ(2u, FileSystem::MoveFileEx(wide(dir / "a"), wide(dir / "c"), 0));
  EXPECT_EQ(0u, FileSystem::MoveFileEx(wide(dir / "b"), wide(dir / "c"), 0));
  EXPECT_EQ("new", readText(dir / "c"));

  ScratchDir other("/dev/shm");
  struct stat here, there;
  if (!other.ok() || stat(dir.path().c_str(), &here) != 0 ||
      stat(other.path().c_str(), &there) != 0 || here.st_dev == there.st_dev) {
    GTEST_SKIP() << "needs /dev/shm on a file system other than /tmp";
  }
  EXPECT_EQ(17u, FileSystem::MoveFileEx(wide(dir / "c"), wide(other / "c"),
                                        MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("new", readText(dir / "c"));
  EXPECT_FALSE(exists(other / "c"));
  ASSERT_TRUE(writeText(other / "c", "there"));
  EXPECT_EQ(183u, FileSystem::MoveFileEx(wide(dir / "c"), wide(other / "c"),
                                         MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ("there", readText(other / "c"));
  EXPECT_EQ(0u, FileSystem::MoveFileEx(wide(dir / "c"), wide(other / "c"),
                                       MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("new", readText(other / "c"));
  EXPECT_FALSE(exists(dir / "c"));
}

// A second name is the same file: both see a rename of a third file over
// one of them only through that name. A link is linked, never followed.
TEST(CreateHardLink, GivesASecondNameAndNeverFollowsALink) {
  ScratchDir dir;
  ASSERT_TRUE(writeText(dir / "a", "original"));
  EXPECT_EQ(0u, FileSystem::CreateHardLink(wide(dir / "a"), wide(dir / "kept")));
  EXPECT_EQ(183u, FileSystem::CreateHardLink(wide(dir / "a"), wide(dir / "kept")));
  EXPECT_EQ(2u, FileSystem::CreateHardLink(wide(dir / "missing"), wide(dir / "b")));
  ASSERT_TRUE(writeText(dir / "new", "new"));
  EXPECT_EQ(0u, FileSystem::MoveFileEx(wide(dir / "new"), wide(dir / "a"), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("new", readText(dir / "a"));
  EXPECT_EQ("original", readText(dir / "kept"));

  ASSERT_EQ(0, symlink("nowhere", (dir / "link").c_str()));
  EXPECT_EQ(0u, FileSystem::CreateHardLink(wide(dir / "link"), wide(dir / "link2")));
  char target[32] = {};
  EXPECT_EQ(7, readlink((dir / "link2").c_str(), target, sizeof target));
  EXPECT_STREQ("nowhere", target);
  FileFaultInjector fault(1, 1013);
  EXPECT_EQ(1013u, FileSystem::CreateHardLink(wide(dir / "a"), wide(dir / "c")));
  EXPECT_FALSE(exists(dir / "c"));
}

TEST(FileStatusAndDirectories, StatusCreateRemoveTimesAndAccess) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeText(dir / "file", "12345"));
  ASSERT_EQ(0, symlink("file", (dir / "link").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (dir / "dangling").c_str()));

  FileStatus status;
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "file"), false, status));
  EXPECT_EQ(FileKind::kRegular, status.kind);
  EXPECT_EQ(5u, status.size);
  struct stat real;
  ASSERT_EQ(0, stat((dir / "file").c_str(), &real));
  EXPECT_EQ(uint64_t(real.st_dev), status.device);
  EXPECT_EQ(uint64_t(real.st_ino), status.inode);
  EXPECT_EQ(int64_t(real.st_mtim.tv_sec), status.times.writeSeconds);
  EXPECT_EQ(uint32_t(real.st_mode & 07777), status.mode);
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "link"), false, status));
  EXPECT_EQ(FileKind::kSymbolicLink, status.kind);
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "link"), true, status));
  EXPECT_EQ(FileKind::kRegular, status.kind);
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "dangling"), false, status));
  EXPECT_EQ(FileKind::kSymbolicLink, status.kind);
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "dangling"), true, status));
  EXPECT_FALSE(status.exists());
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "missing"), false, status));
  EXPECT_FALSE(status.exists());
  EXPECT_EQ(ERROR_NOT_A_FOLDER, FileSystem::GetFileStatus(wide(dir / "file/below"), false, status));

  // One level at a time, with its mode, never over anything.
  EXPECT_EQ(2u, FileSystem::CreateOneDirectory(wide(dir / "x/y"), 0700));
  EXPECT_EQ(0u, FileSystem::CreateOneDirectory(wide(dir / "x"), 0700));
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "x"), false, status));
  EXPECT_TRUE(status.isDirectory());
  EXPECT_EQ(0700u, status.mode & 0777);
  EXPECT_EQ(183u, FileSystem::CreateOneDirectory(wide(dir / "x"), 0700));
  EXPECT_EQ(183u, FileSystem::CreateOneDirectory(wide(dir / "file"), 0700));
  ASSERT_TRUE(writeText(dir / "x/inner", ""));
  EXPECT_EQ(145u, FileSystem::RemoveEmptyDirectory(wide(dir / "x")));
  EXPECT_TRUE(exists(dir / "x/inner"));
  ASSERT_EQ(0, symlink("x", (dir / "xlink").c_str()));
  ASSERT_EQ(0, unlink((dir / "x/inner").c_str()));
  // A link to an empty directory is neither removed nor followed.
  EXPECT_EQ(87u, FileSystem::RemoveEmptyDirectory(wide(dir / "xlink/")));
  EXPECT_TRUE(isDir(dir / "x"));
  EXPECT_EQ(0u, FileSystem::RemoveEmptyDirectory(wide(dir / "x")));
  EXPECT_FALSE(exists(dir / "x"));
  EXPECT_EQ(2u, FileSystem::RemoveEmptyDirectory(wide(dir / "x")));

  // Times of the link itself, to the nanosecond; the file it names keeps its own.
  FileTimes times;
  times.accessSeconds = 1000000000;
  times.accessNanoseconds = 5;
  times.writeSeconds = 1200000000;
  times.writeNanoseconds = 123456789;
  EXPECT_EQ(0u, FileSystem::SetPathTimes(wide(dir / "link"), times));
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "link"), false, status));
  EXPECT_EQ(1200000000, status.times.writeSeconds);
  EXPECT_EQ(123456789, status.times.writeNanoseconds);
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "file"), false, status));
  EXPECT_EQ(int64_t(real.st_mtim.tv_sec), status.times.writeSeconds);
  EXPECT_EQ(2u, FileSystem::SetPathTimes(wide(dir / "missing"), times));

  EXPECT_EQ(0u, FileSystem::CheckAccess(wide(dir / "file"), FILE_ACCESS_READ | FILE_ACCESS_WRITE));
  EXPECT_EQ(2u, FileSystem::CheckAccess(wide(dir / "missing"), FILE_ACCESS_EXISTS));

  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, FileSystem::CreateFile(wide(dir / "file"), GENERIC_WRITE, 0, OPEN_EXISTING,
                                       handle));
  EXPECT_EQ(0u, FileSystem::SetFileMode(handle, 0640));
  EXPECT_EQ(0u, FileSystem::SetFileOwner(handle, geteuid(), getegid()));
  EXPECT_EQ(0u, FileSystem::CloseHandle(handle));
  EXPECT_EQ(0u, FileSystem::GetFileStatus(wide(dir / "file"), false, status));
  EXPECT_EQ(0640u, status.mode);
}

// The fault hook is asked before each new operation and names its path.
TEST(FileFaults, EveryNewOperationConsultsTheHook) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeText(dir / "file", "kept"));
  HANDLE handle = openOrFail(dir / "file");
  const uint32_t kError = 1013;
  FileStatus status;
  FileTimes times;
  FileFaultInjector fault(1, kError);
  fault.persistent();
  EXPECT_EQ(kError, tryExclusive(handle));
  EXPECT_EQ(kError, FileSystem::UnlockFileEx(handle, 0, 0, 0, nullptr));
  EXPECT_EQ(kError, FileSystem::FlushFileBuffers(handle));
  EXPECT_EQ(kError, FileSystem::StartWriteBack(handle));
  EXPECT_EQ(kError, FileSystem::FlushDirectory(wide(dir.path())));
  EXPECT_EQ(kError, FileSystem::FlushFileSystem(wide(dir.path())));
  EXPECT_EQ(kError, FileSystem::MoveFileEx(wide(dir / "file"), wide(dir / "moved"),
                                           MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(kError, FileSystem::GetFileStatus(wide(dir / "file"), false, status));
  EXPECT_EQ(kError, FileSystem::CreateOneDirectory(wide(dir / "d"), 0700));
  EXPECT_EQ(kError, FileSystem::RemoveEmptyDirectory(wide(dir.path())));
  EXPECT_EQ(kError, FileSystem::SetPathTimes(wide(dir / "file"), times));
  EXPECT_EQ(kError, FileSystem::CheckAccess(wide(dir / "file"), FILE_ACCESS_READ));
  EXPECT_EQ(kError, FileSystem::SetFileMode(handle, 0));
  EXPECT_EQ(kError, FileSystem::SetFileOwner(handle, 0, 0));
  EXPECT_EQ(kError, FileSystem::GetLastError());
  EXPECT_EQ(14u, fault.count());
  // Nothing ran.
  EXPECT_EQ("kept", readText(dir / "file"));
  EXPECT_FALSE(exists(dir / "d"));
  EXPECT_FALSE(exists(dir / "moved"));
  FileSystem::SetFaultHook(nullptr, nullptr);
  FileSystem::CloseHandle(handle);
}

}  // namespace
