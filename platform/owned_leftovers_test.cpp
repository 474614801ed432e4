#include "platform/owned_leftovers.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <set>

#include "platform/file_finder.h"
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

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  FileFinder finder;
  for (bool found = finder.reset(wide(dir + "/*")); found; found = finder.next()) {
    const std::string name = narrow_lib(finder.name());
    if (name != "." && name != "..") names.insert(name);
  }
  return names;
}

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
  EXPECT_EQ(12u, names_in(scratch.path()).size());

  EXPECT_EQ(geteuid() == 0 ? 2 : 3, remove_unlocked_temp_files(wide(scratch.path()), u"odk"));
  std::set<std::string> left = {live.substr(scratch.path().size() + 1), "odk", "odk12345", "odk1234567",
                                "odkfoo.txt", "odk-_.!xx", "odkREPORT", "odkLINKED", "odkDIRDIR"};
  if (geteuid() == 0) left.insert("odkOTHERS");
  EXPECT_EQ(left, names_in(scratch.path()));
  FileSystem::CloseHandle(handle);
  EXPECT_EQ(1, remove_unlocked_temp_files(wide(scratch.path() + "/"), u"odk"));
  EXPECT_FALSE(exists(live));
}

// A clean-up that takes the fresh file before its maker has locked it.
uint32_t steal_before_lock(FileOp op, const std::u16string& path, void* stolen) {
  if (op == FileOp::LockFileEx && *static_cast<int*>(stolen) == 0) {
    ++*static_cast<int*>(stolen);
    unlink(narrow_lib(path).c_str());
  }
  return 0;
}

TEST(OwnedLeftoversTest, AFileOrFolderTakenBeforeItWasLockedIsMadeAgain) {
  ScratchDir scratch;
  int stolen = 0;
  FileSystem::SetFaultHook(steal_before_lock, &stolen);
  std::u16string path;
  HANDLE handle = INVALID_HANDLE_VALUE;
  const uint32_t result = create_locked_temp_file(wide(scratch.path()), u".ovst", path, handle);
  FileSystem::SetFaultHook(nullptr, nullptr);
  ASSERT_EQ(0u, result);
  EXPECT_EQ(1, stolen);
  EXPECT_TRUE(exists(narrow_lib(path)));
  EXPECT_FALSE(lockable(narrow_lib(path)));
  EXPECT_EQ(1u, names_in(scratch.path()).size());
  FileSystem::CloseHandle(handle);

  // A failure other than a theft leaves no file behind.
  {
    struct Fail {
      static uint32_t hook(FileOp op, const std::u16string&, void*) {
        return op == FileOp::LockFileEx ? uint32_t(ERROR_INVALID_NAME) : 0u;
      }
    };
    FileSystem::SetFaultHook(Fail::hook, nullptr);
    EXPECT_EQ(uint32_t(ERROR_INVALID_NAME),
              create_locked_temp_file(wide(scratch.path()), u"odk", path, handle));
    HANDLE folder = INVALID_HANDLE_VALUE;
    EXPECT_EQ(uint32_t(ERROR_INVALID_NAME),
              create_locked_directory(wide(scratch / "n8stp0"), 0700, folder));
    FileSystem::SetFaultHook(nullptr, nullptr);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(INVALID_HANDLE_VALUE, folder);
    EXPECT_EQ(1u, names_in(scratch.path()).size());
  }
}

bool keep_marked(const std::u16string& path, void* context) {
  return narrow_lib(path) == *static_cast<std::string*>(context);
}

TEST(OwnedLeftoversTest, UnlockedNumberedFoldersGoWithTheirContentUnlessKept) {
  ScratchDir scratch;
  HANDLE live = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, create_locked_directory(wide(scratch / "n8stp0"), 0700, live));
  HANDLE again = INVALID_HANDLE_VALUE;
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS),
            create_locked_directory(wide(scratch / "n8stp0"), 0700, again));
  EXPECT_FALSE(lockable(scratch / "n8stp0"));
  fs_test::writeText(scratch / "n8stp0/original", "in use");
  for (const char* dir : {"n8stp1", "n8stp1/a", "n8stp2", "n8stp12", "n8stpx", "n8stp"})
    mkdir((scratch / dir).c_str(), 0755);
  fs_test::writeText(scratch / "n8stp1/a/file", "left by a crash");
  fs_test::writeText(scratch / "n8stp3", "a file of that name");
  // Another user's folder of such a name is never this program's.
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    mkdir((scratch / "n8stp4").c_str(), 0755);
    ASSERT_EQ(0, chown((scratch / "n8stp4").c_str(), 65534, 65534));
  }
  std::string kept = scratch / "n8stp12";
  EXPECT_EQ(2, remove_unlocked_folders(wide(scratch.path()), u"n8stp", keep_marked, &kept));
  std::set<std::string> left = {"n8stp0", "n8stp12", "n8stp3", "n8stpx", "n8stp"};
  if (asRoot) left.insert("n8stp4");
  EXPECT_EQ(left, names_in(scratch.path()));
  EXPECT_TRUE(exists(scratch / "n8stp0/original"));
  FileSystem::CloseHandle(live);
  EXPECT_EQ(2, remove_unlocked_folders(wide(scratch.path()), u"n8stp", nullptr, nullptr));
  left = {"n8stp3", "n8stpx", "n8stp"};
  if (asRoot) left.insert("n8stp4");
  EXPECT_EQ(left, names_in(scratch.path()));
}

}  // namespace
