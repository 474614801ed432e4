// The one rule of whether a run writes an entry over what stands there.
#include "install/up_to_date.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "install/install_test_util.h"
#include "kit/kit_writer.h"
#include "platform/file_fault_injector.h"

using namespace install_test;

namespace {

const int64_t kTime = 1600000000;

class UpToDateTest : public testing::Test {
 protected:
  std::u16string at(const std::string& name) const { return widen_lib(scratch_ / name); }
  static config::KitEntry entryAt(_FILETIME time) {
    config::KitEntry entry = config::KitEntry();
    entry.lastWriteTime = time;
    return entry;
  }

  ScratchDir scratch_;
};

TEST_F(UpToDateTest, AFractionOfASecondInTheEntrysTimeMakesItNewer) {
  writeFile(scratch_ / "same.txt", "x", kTime);
  // The file's own fraction does not count: its time is taken whole.
  setTimes(scratch_ / "same.txt", kTime, 999999999);
  EXPECT_TRUE(entryIsUpToDate(at("same.txt"), entryAt(kitTime(kTime))));
  EXPECT_FALSE(entryIsUpToDate(at("same.txt"), entryAt(config::fileTimeFromUnix(kTime, 500))));
  EXPECT_FALSE(entryIsUpToDate(at("same.txt"), entryAt(kitTime(kTime + 1))));
  const EntryPlace newer = lookAtEntryPlace(at("same.txt"), kitTime(kTime - 1));
  EXPECT_FALSE(newer.write);
  EXPECT_TRUE(newer.existingNewer);
  EXPECT_FALSE(lookAtEntryPlace(at("same.txt"), kitTime(kTime)).existingNewer);

  FileStatus status;
  status.kind = FileKind::kRegular;
  status.times.writeSeconds = kTime;
  EXPECT_TRUE(timeIsUpToDate(status, kitTime(kTime)));
  EXPECT_FALSE(timeIsUpToDate(status, config::fileTimeFromUnix(kTime, 100)));
  status.kind = FileKind::kDirectory;
  EXPECT_FALSE(timeIsUpToDate(status, kitTime(0)));
  EXPECT_FALSE(timeIsUpToDate(FileStatus(), kitTime(0)));
}

TEST_F(UpToDateTest, MissingFoldersLinksAndUnreadableFilesAreWritten) {
  const EntryPlace missing = lookAtEntryPlace(at("missing.txt"), kitTime(0));
  EXPECT_TRUE(missing.write);
  EXPECT_EQ(0u, missing.lookError);
  EXPECT_FALSE(missing.seen.exists());

  makeDirs(scratch_ / "folder");
  const EntryPlace folder = lookAtEntryPlace(at("folder"), kitTime(0));
  EXPECT_TRUE(folder.write);
  EXPECT_EQ(uint32_t(ERROR_DIRECTORY), folder.lookError);

  // A link is judged by its file; what stands there is the link itself.
  writeFile(scratch_ / "real.txt", "x", kTime);
  ASSERT_EQ(0, symlink((scratch_ / "real.txt").c_str(), (scratch_ / "link.txt").c_str()));
  const EntryPlace link = lookAtEntryPlace(at("link.txt"), kitTime(kTime));
  EXPECT_FALSE(link.write);
  EXPECT_EQ(FileKind::kSymbolicLink, link.seen.kind);
  ASSERT_EQ(0, symlink((scratch_ / "gone.txt").c_str(), (scratch_ / "dangling.txt").c_str()));
  const EntryPlace dangling = lookAtEntryPlace(at("dangling.txt"), kitTime(0));
  EXPECT_TRUE(dangling.write);
  EXPECT_EQ(FileKind::kSymbolicLink, dangling.seen.kind);

  // Root reads everything: the refusal comes from the file layer.
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::CheckAccess});
    EXPECT_FALSE(entryIsUpToDate(at("real.txt"), entryAt(kitTime(kTime))));
    EXPECT_TRUE(fault.fired());
  }
  FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
  fault.only({FileOp::GetFileStatus});
  const EntryPlace unseen = lookAtEntryPlace(at("real.txt"), kitTime(0));
  EXPECT_TRUE(unseen.write);
  EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), unseen.lookError);
}

TEST_F(UpToDateTest, AFifoIsJudgedByItsTimeWithoutBeingOpened) {
  ASSERT_EQ(0, mkfifo((scratch_ / "pipe").c_str(), 0644));
  setTimes(scratch_ / "pipe", kTime);
  FileFaultInjector opens(1, ERROR_ACCESS_DENIED);
  opens.only({FileOp::CreateFile});
  EXPECT_TRUE(entryIsUpToDate(at("pipe"), entryAt(kitTime(kTime))));
  EXPECT_FALSE(opens.fired());
}

}  // namespace
