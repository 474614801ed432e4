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

// Records the directory of every probe.
std::u16string g_probedDirectory;
uint32_t recordProbe(FileOp op, const std::u16string& path, void*) {
  if (op == FileOp::CreateUnnamedFile) g_probedDirectory = path;
  return 0;
}

class WritePermittedTest : public testing::Test {
 protected:
  WritePermittedTest() {
    std::filesystem::create_directories(home_ / "target");
    std::filesystem::create_directories(home_ / "elsewhere");
  }
  ~WritePermittedTest() override { FileSystem::SetFaultHook(nullptr, nullptr); }

  bool probe(const std::string& dir) {
    g_probedDirectory.clear();
    FileSystem::SetFaultHook(&recordProbe, nullptr);
    const bool result = isWritePermitted(wide(dir));
    FileSystem::SetFaultHook(nullptr, nullptr);
    return result;
  }

  void expectNoFileLeft() {
    EXPECT_TRUE(entries_of(home_ / "target").empty());
    EXPECT_TRUE(entries_of(home_ / "elsewhere").empty());
  }

  TemporaryHome home_;
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
  EXPECT_EQ(wide(home_ / "target"), g_probedDirectory);
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
  EXPECT_EQ(wide(home_ / "target"), g_probedDirectory);
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
  struct NoUnnamedFiles {
    uint32_t access;
    std::u16string asked;
    static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
      NoUnnamedFiles* self = static_cast<NoUnnamedFiles*>(context);
      if (op == FileOp::CreateUnnamedFile) return ERROR_NOT_SUPPORTED;
      if (op != FileOp::CheckAccess) return 0;
      self->asked = path;
      return self->access;
    }
  };
  for (uint32_t access : {0u, uint32_t(ERROR_ACCESS_DENIED)}) {
    NoUnnamedFiles answer{access, u""};
    FileSystem::SetFaultHook(&NoUnnamedFiles::hook, &answer);
    EXPECT_EQ(access == 0, isWritePermitted(wide(home_ / "target/new")));
    FileSystem::SetFaultHook(nullptr, nullptr);
    EXPECT_EQ(wide(home_ / "target"), answer.asked);
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
