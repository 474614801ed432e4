// Files without a name, directories with names nobody can make ahead, and
// the status of an open file.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

using testkit::entryNameSet;

TEST(FileSystemUnnamed, AnUnnamedFileAppearsOnlyWhenLinkedAndTellsItsStatus) {
  ScratchDir dir;
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, FileSystem::CreateUnnamedFile(wide(dir.path()), handle));
  uint32_t written = 0;
  ASSERT_EQ(0u, FileSystem::WriteFile(handle, "contents", 8, &written, nullptr));
  EXPECT_TRUE(entryNameSet(dir.path()).empty());

  FileStatus status;
  ASSERT_EQ(0u, FileSystem::GetHandleStatus(handle, status));
  EXPECT_EQ(FileKind::kRegular, status.kind);
  EXPECT_EQ(8u, status.size);
  EXPECT_EQ(0600u, status.mode);
  EXPECT_EQ(geteuid(), status.owner);

  ASSERT_EQ(0u, FileSystem::LinkUnnamedFile(handle, wide(dir / "named")));
  EXPECT_EQ("contents", readText(dir / "named"));
  struct stat linked;
  ASSERT_EQ(0, stat((dir / "named").c_str(), &linked));
  EXPECT_EQ(uint64_t(linked.st_ino), status.inode);
  EXPECT_EQ(uint64_t(linked.st_dev), status.device);
  // A name that is taken stays as it is.
  ASSERT_TRUE(writeText(dir / "taken", "someone's"));
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS), FileSystem::LinkUnnamedFile(handle, wide(dir / "taken")));
  EXPECT_EQ("someone's", readText(dir / "taken"));
  EXPECT_EQ(0u, FileSystem::CloseHandle(handle));

  // Closed without a name, it is gone without a trace.
  ASSERT_EQ(0u, FileSystem::CreateUnnamedFile(wide(dir.path() + "/"), handle));
  ASSERT_EQ(0u, FileSystem::WriteFile(handle, "x", 1, &written, nullptr));
  EXPECT_EQ(0u, FileSystem::CloseHandle(handle));
  EXPECT_EQ((std::set<std::string>{"named", "taken"}), entryNameSet(dir.path()));

  EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE), FileSystem::GetHandleStatus(INVALID_HANDLE_VALUE, status));
  EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE),
            FileSystem::LinkUnnamedFile(INVALID_HANDLE_VALUE, wide(dir / "other")));
}

TEST(FileSystemUnnamed, WhereNoUnnamedFileCanBeMadeTheReasonSaysWhy) {
  ScratchDir dir;
  ASSERT_TRUE(writeText(dir / "file", ""));
  HANDLE handle = INVALID_HANDLE_VALUE;
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), FileSystem::CreateUnnamedFile(wide(dir / "missing"), handle));
  EXPECT_EQ(ERROR_NOT_A_FOLDER, FileSystem::CreateUnnamedFile(wide(dir / "file"), handle));
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), FileSystem::CreateUnnamedFile(u"", handle));
  // /proc cannot hold such a file, even for the superuser.
  EXPECT_EQ(uint32_t(ERROR_NOT_SUPPORTED), FileSystem::CreateUnnamedFile(u"/proc", handle));
  EXPECT_EQ(uint32_t(ERROR_NOT_SUPPORTED), FileSystem::GetLastError());
}

TEST(FileSystemUnnamed, TemporaryDirectoriesArePrivateAndNeverReuseAName) {
  ScratchDir dir;
  const mode_t oldMask = umask(0);
  std::set<std::u16string> made;
  for (int i = 0; i < 50; ++i) {
    std::u16string path;
    ASSERT_EQ(0u, FileSystem::CreateTempDirectory(wide(dir.path()), u"ovn8-1-", path));
    ASSERT_EQ(wide(dir / "ovn8-1-").size() + 6, path.size());
    EXPECT_EQ(wide(dir / "ovn8-1-"), path.substr(0, path.size() - 6));
    EXPECT_TRUE(made.insert(path).second);
    struct stat status;
    ASSERT_EQ(0, lstat(narrow_lib(path).c_str(), &status));
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(0700u, status.st_mode & 07777);
  }
  umask(oldMask);
  EXPECT_EQ(50u, entryNameSet(dir.path()).size());

  std::u16string path = u"stale";
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND),
            FileSystem::CreateTempDirectory(wide(dir / "missing"), u"x", path));
  EXPECT_EQ(u"", path);
  EXPECT_EQ(uint32_t(ERROR_INVALID_NAME), FileSystem::CreateTempDirectory(u"", u"x", path));
  // A name the locale cannot hold is no directory, never the current one.
  EXPECT_EQ(uint32_t(ERROR_INVALID_NAME), FileSystem::CreateTempDirectory(u"\xd800", u"x", path));
}

TEST(FileSystemUnnamed, SearchAccessIsAskedOfTheDirectory) {
  ScratchDir dir;
  ASSERT_TRUE(writeText(dir / "plain", ""));
  EXPECT_EQ(0u, FileSystem::CheckAccess(wide(dir.path()), FILE_ACCESS_WRITE | FILE_ACCESS_SEARCH));
  // A file without any execute bit cannot be searched, even by the superuser.
  EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), FileSystem::CheckAccess(wide(dir / "plain"), FILE_ACCESS_SEARCH));
  EXPECT_EQ(0u, FileSystem::CheckAccess(wide(dir / "plain"), FILE_ACCESS_WRITE));
}

}  // namespace
