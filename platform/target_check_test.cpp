// The one probe of a template directory, and the walk up to the level it
// probes.
#include "platform/target_check.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/existing_level.h"
#include "platform/file_fault_injector.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

class TargetCheckTest : public testing::Test {
 protected:
  TargetCheckTest() {
    testkit::makeDirs(scratch_ / "dir");
    testkit::writeFile(scratch_ / "file", "x");
  }
  std::u16string at(const std::string& name) const { return widen_lib(scratch_ / name); }

  testkit::ScratchDir scratch_{"/tmp", "ovn8target"};
};

TEST_F(TargetCheckTest, NearestExistingLevelPassesMissingLevelsAndStopsAtAFile) {
  std::u16string level;
  FileStatus status;
  ASSERT_EQ(ERROR_SUCCESS, nearest_existing_level(at("dir/new/deeper//"), level, status));
  EXPECT_EQ(at("dir"), level);
  EXPECT_TRUE(status.isDirectory());
  ASSERT_EQ(ERROR_SUCCESS, nearest_existing_level(at("dir/"), level, status));
  EXPECT_EQ(at("dir"), level);
  // Below a file the look fails with "not a folder": the file is the level.
  ASSERT_EQ(ERROR_SUCCESS, nearest_existing_level(at("file/sub/x"), level, status));
  EXPECT_EQ(at("file"), level);
  EXPECT_EQ(FileKind::kRegular, status.kind);
  ASSERT_EQ(ERROR_SUCCESS, nearest_existing_level(u"/no-such-level-here/x", level, status));
  EXPECT_EQ(u"/", level);
  // A relative name without "/" lies in the current directory.
  ASSERT_EQ(ERROR_SUCCESS, nearest_existing_level(u"no-such-name-here", level, status));
  EXPECT_EQ(u".", level);
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, nearest_existing_level(u"", level, status));
}

TEST_F(TargetCheckTest, ALevelThatCannotBeSearchedBlocksTheWay) {
  std::u16string level;
  FileStatus status;
  {
    // Root may search anything: the refusal comes from the file layer.
    FileFaultInjector fault(2, ERROR_ACCESS_DENIED);
    fault.only({FileOp::GetFileStatus});
    EXPECT_EQ(ERROR_ACCESS_DENIED, nearest_existing_level(at("dir/new/deeper"), level, status));
    EXPECT_TRUE(fault.fired());
  }
  FileFaultInjector fault(2, ERROR_ACCESS_DENIED);
  fault.only({FileOp::GetFileStatus});
  EXPECT_EQ(TargetCheck::kNotWritable, checkTargetDirectory(at("dir/new/deeper")));
}

TEST_F(TargetCheckTest, FoldersFilesAndMissingLevelsAreTold) {
  EXPECT_EQ(TargetCheck::kUsable, checkTargetDirectory(at("dir/")));
  EXPECT_EQ(TargetCheck::kUsable, checkTargetDirectory(at("dir/new/deeper/")));
  EXPECT_EQ(TargetCheck::kNotAFolder, checkTargetDirectory(at("file")));
  EXPECT_EQ(TargetCheck::kNotAFolder, checkTargetDirectory(at("file/sub/")));
  EXPECT_EQ(TargetCheck::kNotWritable, checkTargetDirectory(u""));
  // The probe leaves nothing in the folder.
  EXPECT_TRUE(testkit::entryNames(scratch_ / "dir").empty());
  EXPECT_FALSE(testkit::exists(scratch_ / "dir/new"));
}

TEST_F(TargetCheckTest, TheProbeOfTheNearestLevelDecides) {
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::CreateUnnamedFile}).below(at("dir"));
    EXPECT_EQ(TargetCheck::kNotWritable, checkTargetDirectory(at("dir/new/")));
    EXPECT_TRUE(fault.fired());
  }
  {
    // Without unnamed files the permissions answer, here of "dir" itself.
    FileFaultInjector fault(1, ERROR_NOT_SUPPORTED);
    fault.only({FileOp::CreateUnnamedFile});
    EXPECT_EQ(TargetCheck::kUsable, checkTargetDirectory(at("dir/new/")));
    EXPECT_TRUE(fault.fired());
  }
  // Permissions that refuse decide without a probe.
  FileFaultInjector denied(1, ERROR_ACCESS_DENIED);
  denied.only({FileOp::CheckAccess, FileOp::CreateUnnamedFile}).persistent();
  EXPECT_EQ(TargetCheck::kNotWritable, checkTargetDirectory(at("dir/new/")));
  EXPECT_EQ(FileOp::CheckAccess, denied.firedOp());
  EXPECT_EQ(1u, denied.count());
}

}  // namespace
