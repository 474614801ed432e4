#include "platform/owned_leftovers.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <set>

#include "platform/file_fault_injector.h"
#include "platform/file_system_test_util.h"

namespace {

using fs_test::ScratchDir;
using fs_test::exists;
using fs_test::wide;

// Whether another process could lock `path` now (tried on a fresh open
// file description, released at once).
bool lockable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

using testkit::entryNameSet;

TEST(OwnedLeftoversTest, TempFilesAreLockedFromTheStartAndOnlyUnlockedOnesAreRemoved) {
  ScratchDir scratch;
  std::u16string path;
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, create_locked_temp_file(wide(scratch.path()), u"odk", path, handle));
  const std::string live = narrow_lib(path);
  EXPECT_EQ(scratch.path() + "/odk", live.substr(0, live.size() - 6));
  EXPECT_FALSE(lockable(live));

  // Left by processes that ended: one made by a child that died holding it.
  const pid_t child = fork();
  if (child == 0) {
    std::u16string p;
    HANDLE h;
    _exit(create_locked_temp_file(wide(scratch.path()), u"odk", p, h) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(0, status);
  fs_test::writeText(scratch / "odkB7x9Qz", "an old container");
  chmod((scratch / "odkB7x9Qz").c_str(), 0600);
  // Not ours: other names, a folder of such a name, a file open to others
  // (a user's own), a link, and (as root) another user's file.
  for (const char* name : {"odk", "odk12345", "odk1234567", "odkfoo.txt", "odk-_.!xx", "odkREPORT",
                           "odkOTHERS"})
    fs_test::writeText(scratch / name, "someone else's");
  chmod((scratch / "odkREPORT").c_str(), 0644);
  chmod((scratch / "odkOTHERS").c_str(), 0600);
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown((scratch / "odkOTHERS").c_str(), 65534, 65534));
  }
  ASSERT_EQ(0, symlink("odkB7x9Qz", (scratch / "odkLINKED").c_str()));
  mkdir((scratch / "odkDIRDIR").c_str(), 0755);
  EXPECT_EQ(12u, entryNameSet(scratch.path()).size());

  EXPECT_EQ(2, remove_unlocked_temp_files(wide(scratch.path()), u"odk"));
  const std::set<std::string> left = entryNameSet(scratch.path());
  EXPECT_EQ((std::set<std::string>{live.substr(scratch.path().size() + 1), "odk", "odk12345",
                                   "odk1234567", "odkfoo.txt", "odk-_.!xx", "odkDIRDIR",
                                   "odkREPORT", "odkOTHERS", "odkLINKED"}),
            left);
  FileSystem::CloseHandle(handle);
  EXPECT_EQ(1, remove_unlocked_temp_files(wide(scratch.path() + "/"), u"odk"));
  EXPECT_FALSE(exists(live));
}

TEST(OwnedLeftoversTest, AFileOrFolderTakenBeforeItWasLockedIsMadeAgain) {
  ScratchDir scratch;
  int stolen = 0;
  std::u16string path;
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = 0;
  {
    // A clean-up that takes the fresh file before its maker has locked it.
    FileFaultInjector thief;
    thief.only({FileOp::LockFileEx}).answering([&stolen](FileOp, const std::u16string& taken) {
      if (stolen == 0 && ++stolen) unlink(narrow_lib(taken).c_str());
      return 0u;
    });
    result = create_locked_temp_file(wide(scratch.path()), u".ovst", path, handle);
  }
  ASSERT_EQ(0u, result);
  EXPECT_EQ(1, stolen);
  EXPECT_TRUE(exists(narrow_lib(path)));
  EXPECT_FALSE(lockable(narrow_lib(path)));
  EXPECT_EQ(1u, entryNameSet(scratch.path()).size());
  FileSystem::CloseHandle(handle);

  // A failure other than a theft leaves no file behind.
  {
    FileFaultInjector fail(1, ERROR_INVALID_NAME);
    fail.only({FileOp::LockFileEx}).persistent();
    EXPECT_EQ(uint32_t(ERROR_INVALID_NAME),
              create_locked_temp_file(wide(scratch.path()), u"odk", path, handle));
    HANDLE folder = INVALID_HANDLE_VALUE;
    EXPECT_EQ(uint32_t(ERROR_INVALID_NAME),
              create_locked_directory(wide(scratch / "n8stp0"), 0700, folder));
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(INVALID_HANDLE_VALUE, folder);
    EXPECT_EQ(1u, entryNameSet(scratch.path()).size());
  }
}

TEST(OwnedLeftoversTest, AReplacementIsNamedAfterItsInodeAndOnlySuchUnlockedFilesAreRemoved) {
  for (bool unnamedFiles : {true, false}) {
    SCOPED_TRACE(unnamedFiles ? "unnamed files" : "no unnamed files");
    ScratchDir scratch;
    std::u16string path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    {
      FileFaultInjector system;
      if (!unnamedFiles) system.answering(without_unnamed_files);
      ASSERT_EQ(0u, create_locked_replacement(wide(scratch.path()), u".ovst", path, handle));
    }
    FileStatus status;
    ASSERT_EQ(0u, FileSystem::GetHandleStatus(handle, status));
    const std::u16string named = wide(scratch.path() + "/") + inode_file_name(u".ovst", status.inode);
    // Without unnamed files it bears its name from the start.
    EXPECT_EQ(unnamedFiles ? u"" : named, path);
    EXPECT_EQ(unnamedFiles ? 0u : 1u, entryNameSet(scratch.path()).size());
    ASSERT_EQ(0u, name_locked_replacement(wide(scratch.path()), u".ovst", handle, path));
    EXPECT_EQ(named, path);
    EXPECT_FALSE(lockable(narrow_lib(path)));

    // A running wizard's replacement stays; the user's files of similar
    // names stay; one left by an ended wizard goes.
    for (const char* name : {".ovstQ1w2E3", ".ovst12", ".ovst", ".ovstffffffffffffffff"})
      fs_test::writeText(scratch / name, "the user's");
    mkdir((scratch / ".ovstdir").c_str(), 0700);
    EXPECT_EQ(0, remove_unlocked_replacements(wide(scratch.path()), u".ovst"));
    EXPECT_EQ(6u, entryNameSet(scratch.path()).size());
    FileSystem::CloseHandle(handle);
    EXPECT_EQ(1, remove_unlocked_replacements(wide(scratch.path() + "/"), u".ovst"));
    EXPECT_FALSE(exists(narrow_lib(path)));
    EXPECT_EQ(5u, entryNameSet(scratch.path()).size());
  }
  EXPECT_EQ(u".ovst0", inode_file_name(u".ovst", 0));
  EXPECT_EQ(u".ovstffffffffffffffff", inode_file_name(u".ovst", UINT64_MAX));
  EXPECT_EQ(u"x1a2b", inode_file_name(u"x", 0x1a2b));
}

TEST(OwnedLeftoversTest, AReplacementThatCannotBeMadeOrNamedLeavesNothing) {
  ScratchDir scratch;
  for (bool unnamedFiles : {true, false}) {
    for (uint64_t k = 1;; ++k) {
      SCOPED_TRACE(testing::Message() << (unnamedFiles ? "unnamed files, " : "no unnamed files, ") << k);
      std::u16string path;
      HANDLE handle = INVALID_HANDLE_VALUE;
      uint32_t result = 0;
      bool fired = false;
      {
        FileFaultInjector fault(k, ERROR_DISK_FULL);
        if (!unnamedFiles) fault.answering(without_unnamed_files);
        result = create_locked_replacement(wide(scratch.path()), u".ovst", path, handle);
        if (result == ERROR_SUCCESS)
          result = name_locked_replacement(wide(scratch.path()), u".ovst", handle, path);
        fired = fault.fired();
      }
      if (handle != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(handle);
      if (!fired) {
        EXPECT_EQ(0u, result);
        EXPECT_EQ(1, remove_unlocked_replacements(wide(scratch.path()), u".ovst"));
        break;
      }
      EXPECT_EQ(uint32_t(ERROR_DISK_FULL), result);
      EXPECT_TRUE(entryNameSet(scratch.path()).empty());
    }
  }
}

}  // namespace
