#include "platform/private_temp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_fault_injector.h"
#include "platform/file_system_test_util.h"
#include "platform/path.h"

using namespace fs_test;

namespace {

class PrivateTempTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tmp_.ok()); }
  void TearDown() override { remove_run_temp_folder(); }

  std::string usual() const { return tmp_ / ("ovn8-" + std::to_string(geteuid())); }

  std::string folder() {
    std::u16string found;
    EXPECT_EQ(0u, private_temp_folder(found));
    return narrow_lib(found);
  }

  // A folder of this run's own: "ovn8-<uid>-" and six characters, private.
  void expectOwnFolder(const std::string& path) {
    ASSERT_EQ(usual().size() + 8, path.size()) << path;
    EXPECT_EQ(usual() + "-", path.substr(0, usual().size() + 1));
    EXPECT_EQ('/', path.back());
    struct stat status;
    ASSERT_EQ(0, lstat(path.c_str(), &status));
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(0700u, status.st_mode & 07777);
  }

  ScratchDir tmp_;
  EnvGuard tmpdir_{"TMPDIR", tmp_.path().c_str()};
};

TEST_F(PrivateTempTest, TheUsualFolderIsMadePrivateAndKeptFromCallToCall) {
  EXPECT_EQ(usual() + "/", folder());
  struct stat status;
  ASSERT_EQ(0, lstat(usual().c_str(), &status));
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(0700u, status.st_mode & 07777);
  EXPECT_EQ(geteuid(), status.st_uid);
  ASSERT_TRUE(writeText(usual() + "/kept", "a file of an earlier run"));
  EXPECT_EQ(usual() + "/", folder());
  EXPECT_EQ("a file of an earlier run", readText(usual() + "/kept"));
  remove_run_temp_folder();
  EXPECT_TRUE(isDir(usual()));
}

TEST_F(PrivateTempTest, AFolderThatIsNotPrivatelyOursIsLeftAloneForOneOfTheRunsOwn) {
  ScratchDir elsewhere;
  const std::string lure = elsewhere / "lure";
  ASSERT_EQ(0, mkdir(lure.c_str(), 0700));
  // Made by another user; open to others; a link to a folder of ours; a file.
  const auto squatters = {"other owner", "open mode", "link", "file"};
  for (const std::string squatter : squatters) {
    SCOPED_TRACE(squatter);
    testkit::removeTree(usual());
    if (squatter == "link") {
      ASSERT_EQ(0, symlink(lure.c_str(), usual().c_str()));
    } else if (squatter == "file") {
      ASSERT_TRUE(writeText(usual(), "not a folder"));
    } else {
      ASSERT_EQ(0, mkdir(usual().c_str(), 0700));
      ASSERT_EQ(0, chmod(usual().c_str(), squatter == "open mode" ? 0777 : 0700));
      if (squatter == "other owner") {
        ASSERT_EQ(0, chown(usual().c_str(), 4321, 4321));
      }
    }
    const std::string own = folder();
    expectOwnFolder(own);
    // The same folder for the whole run; the squatter's place unchanged.
    EXPECT_EQ(own, folder());
    EXPECT_TRUE(testkit::entryNameSet(lure).empty());
    if (squatter != "link" && squatter != "file") {
      EXPECT_TRUE(testkit::entryNameSet(usual()).empty());
    }
    // At the end the run's folder goes, once it is empty.
    ASSERT_TRUE(writeText(own + "odkABCDEF", ""));
    remove_run_temp_folder();
    EXPECT_TRUE(isDir(own));
    testkit::removeTree(own);
  }
  EXPECT_EQ("not a folder", readText(usual()));
  const std::string own = folder();
  remove_run_temp_folder();
  EXPECT_FALSE(exists(own));
  EXPECT_EQ((std::set<std::string>{"ovn8-" + std::to_string(geteuid())}), testkit::entryNameSet(tmp_.path()));
}

TEST_F(PrivateTempTest, FilesAreMadeLockedInTheFolderAndNeverBesideIt) {
  std::u16string path;
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, create_private_temp_file(u"odk", path, handle));
  EXPECT_EQ(wide(usual() + "/odk"), path.substr(0, path.size() - 6));
  FileSystem::CloseHandle(handle);
  // A folder that goes between its check and the file's making (an aging
  // clean-up of the shared directory).
  uint32_t result = 0;
  {
    FileFaultInjector remover;
    remover.only({FileOp::GetTempFileName}).answering([](FileOp, const std::u16string& folder) {
      testkit::removeTree(narrow_lib(without_trailing_separator(folder)));
      return 0u;
    });
    result = create_private_temp_file(u"odk", path, handle);
  }
  EXPECT_EQ(uint32_t(ERROR_CANTWRITE), result);
  EXPECT_EQ(u"", path);
  EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
  EXPECT_TRUE(testkit::entryNameSet(tmp_.path()).empty());
}

TEST_F(PrivateTempTest, EveryFailingOperationGivesItsErrorAndNoFolder) {
  ASSERT_EQ(0, mkdir(usual().c_str(), 0755));  // ours, but open: a run's own is made
  for (uint64_t k = 1;; ++k) {
    SCOPED_TRACE(k);
    std::u16string found = u"stale";
    uint32_t result;
    {
      FileFaultInjector fault(k, ERROR_DISK_FULL);
      result = private_temp_folder(found);
      if (!fault.fired()) {
        EXPECT_EQ(0u, result);
        expectOwnFolder(narrow_lib(found));
        break;
      }
    }
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), result);
    EXPECT_EQ(u"", found);
  }
}

}  // namespace
