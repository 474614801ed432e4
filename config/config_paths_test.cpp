#include "config/config_paths.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"
#include "platform/file_system.h"

namespace {

TEST(ConfigPaths, AccessorsFollowTheHomeDirectory) {
  TemporaryHome home;
  const std::u16string h = wide(home.path());
  EXPECT_EQ(h + u"/.Ovan/ovanstart", get_local_config_file_dir());
  EXPECT_EQ(h + u"/.Ovan/ovanstart/ovanstart.cfg", get_local_config_file_path());
  EXPECT_EQ(h + u"/.ovn8//.Ovan/ovanstart", get_allusers_config_file_dir());
  EXPECT_EQ(h + u"/.ovn8//.Ovan/ovanstart/ovanstart.cfg", get_allusers_config_file_path());
  EXPECT_EQ(h + u"/.Ovan/ovanstartt", get_local_config_file_dir_base());
  EXPECT_EQ(h + u"/.Ovan/ovanstartt/ovanstart.cfg", get_local_config_file_path_base());
  EXPECT_EQ(h + u"/.Ovan/ovanstart/ovanstart.cfg", get_allusers_config_file_path_base());
  EXPECT_EQ(h + u"/.ovn8/Ovan/ovn8/", n8_app_data_dir(false));
  EXPECT_EQ(n8_app_data_dir(false), n8_app_data_dir(true));
}

class WritePermittedTest : public testing::Test {
 protected:
  WritePermittedTest() {
    std::filesystem::create_directories(home_ / "target");
    std::filesystem::create_directories(home_ / "elsewhere");
  }
  // Notes the folder the probe makes its file in.
  bool probe(const std::string& dir) {
    probedDirectory_.clear();
    FileFaultInjector watch;
    watch.only({FileOp::CreateUnnamedFile}).answering([this](FileOp, const std::u16string& path) {
      probedDirectory_ = path;
      return 0u;
    });
    return isWritePermitted(wide(dir));
  }

  void expectNoFileLeft() {
    EXPECT_TRUE(entries_of(home_ / "target").empty());
    EXPECT_TRUE(entries_of(home_ / "elsewhere").empty());
  }

  TemporaryHome home_;
  std::u16string probedDirectory_;
  // A writable TMPDIR must not make any directory look writable.
  testkit::EnvGuard tmpdir_{"TMPDIR", (home_ / "elsewhere").c_str()};
};

TEST_F(WritePermittedTest, ProbesTheDirectoryItselfAndNothingEverAppearsThere) {
  // Not even a new modification time: looking is no change the user made.
  struct timespec old[2] = {{1500000000, 5}, {1500000000, 5}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (home_ / "target").c_str(), old, 0));
  testkit::CreationWatch watch(home_ / "target");
  ASSERT_TRUE(watch.ok());
  EXPECT_TRUE(probe(home_ / "target"));
  EXPECT_EQ(wide(home_ / "target"), probedDirectory_);
  EXPECT_TRUE(probe(home_ / "target/"));
  // No name, not even for a moment: a kill during the probe leaves none.
  EXPECT_TRUE(watch.names().empty());
  struct stat status;
  ASSERT_EQ(0, stat((home_ / "target").c_str(), &status));
  EXPECT_EQ(1500000000, status.st_mtim.tv_sec);
  EXPECT_EQ(5, status.st_mtim.tv_nsec);
  expectNoFileLeft();
}

TEST_F(WritePermittedTest, MissingDirectoryIsProbedInItsNearestExistingAncestor) {
  EXPECT_TRUE(probe(home_ / "target/new/deeper/"));
  EXPECT_EQ(wide(home_ / "target"), probedDirectory_);
  EXPECT_FALSE(std::filesystem::exists(home_ / "target/new"));
  expectNoFileLeft();
}

TEST_F(WritePermittedTest, FailedProbeIsFalseAndWithoutUnnamedFilesThePermissionsAnswer) {
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::CreateUnnamedFile});
    EXPECT_FALSE(isWritePermitted(wide(home_ / "target")));
    EXPECT_TRUE(fault.fired());
  }
  // A file system without unnamed files: the permissions of the directory
  // itself decide.
  for (uint32_t access : {0u, uint32_t(ERROR_ACCESS_DENIED)}) {
    std::u16string asked;
    {
      FileFaultInjector system;
      system.answering([&](FileOp op, const std::u16string& path) {
        if (op == FileOp::CheckAccess) asked = path;
        return op == FileOp::CheckAccess ? access : without_unnamed_files(op, path);
      });
      EXPECT_EQ(access == 0, isWritePermitted(wide(home_ / "target/new")));
    }
    EXPECT_EQ(wide(home_ / "target"), asked);
  }
  expectNoFileLeft();
}

TEST_F(WritePermittedTest, ReadOnlyFileSystemIsNotWritable) {
  const std::string mounted = home_ / "target";
  if (mount("tmpfs", mounted.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a read-only tmpfs";
  EXPECT_FALSE(isWritePermitted(wide(mounted)));
  EXPECT_FALSE(isWritePermitted(wide(mounted + "/missing/level")));
  umount(mounted.c_str());
}

TEST_F(WritePermittedTest, NamesThatAreNoDirectoryAreNotWritable) {
  write_bytes(home_ / "target/file", "x");
  EXPECT_FALSE(probe(home_ / "target/file"));
  EXPECT_FALSE(probe(home_ / "target/file/below"));
  EXPECT_FALSE(probe(""));
  EXPECT_EQ(std::set<std::string>{"file"}, entries_of(home_ / "target"));
  EXPECT_TRUE(entries_of(home_ / "elsewhere").empty());
}

}  // namespace
