// The installation record as runs write it, and files whose content is the
// kit's already.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "install/install_test_util.h"
#include "install/installation_record.h"
#include "install/installer.h"
#include "install/journal_codec.h"
#include "platform/file_fault_injector.h"

using namespace install_test;

namespace {

const int64_t kKitTime = 1600000000;
const int64_t kOlder = kKitTime - 86400;
const int64_t kNewer = kKitTime + 86400;

ino_t inode_of(const std::string& path) {
  struct stat status = {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

uint32_t crc_of_text(const std::string& text) { return crc_of(text.data(), text.size()); }

class InstallerRecordTest : public testing::Test {
 protected:
  void openKit(const std::vector<config::KitFileSpec>& files) {
    ASSERT_TRUE(install_test::openKit(scene.scratch(""), files, kit));
  }
  uint32_t install() {
    data.init(&kit, widen_lib(scene.templateDir()));
    Installer installer;
    installer.setKitIdentity(identity);
    return installer.run(&data);
  }
  InstallationRecord record() {
    InstallationRecord read;
    EXPECT_EQ(0u, read_installation_record(widen_lib(scene.templateDir() + "/"), read));
    return read;
  }
  const RecordEntry* entryOf(const InstallationRecord& read, const std::u16string& path) {
    for (const RecordEntry& entry : read.entries)
      if (entry.path == path) return &entry;
    return nullptr;
  }
  RunReport report() {
    RunReport got;
    data.getReport(got);
    return got;
  }

  InstallScene scene;
  KitReader kit;
  InstallProcessData data;
  KitIdentity identity{u"Sales forms", u"Vendor", 4242, std::string(64, 'c'), u""};
};

TEST_F(InstallerRecordTest, TheRecordSaysWhatTheRunDidAndARerunLeavesIt) {
  writeFile(scene / "old.txt", "old", kOlder);
  writeFile(scene / "newer.txt", "user's newer", kNewer);
  writeFile(scene / "same.txt", "same time", kKitTime);
  openKit({{u"old.txt", "kit old", kitTime(kKitTime)},
           {u"newer.txt", "kit newer", kitTime(kKitTime)},
           {u"same.txt", "kit same", kitTime(kKitTime)},
           {u"forms\\new.xml", "<new/>", kitTime(kKitTime + 5)}});
  const time_t started = time(nullptr);
  ASSERT_EQ(0u, install());
  const InstallationRecord read = record();
  EXPECT_EQ(u"Sales forms", read.kit.product);
  EXPECT_EQ(u"Vendor", read.kit.vendor);
  EXPECT_EQ(4242u, read.kit.size);
  EXPECT_EQ(std::string(64, 'c'), read.kit.sha256);
  EXPECT_GE(read.installedAt, int64_t(started));
  EXPECT_FALSE(read.wizardVersion.empty());
  ASSERT_EQ(4u, read.entries.size());
  const RecordEntry* added = entryOf(read, u"forms/new.xml");
  ASSERT_NE(nullptr, added);
  EXPECT_EQ(RecordAction::kInstalled, added->action);
  EXPECT_EQ(6u, added->size);
  EXPECT_EQ(crc_of_text("<new/>"), added->crc32);
  EXPECT_EQ(kKitTime + 5, added->writeSeconds);
  EXPECT_EQ(RecordAction::kReplaced, entryOf(read, u"old.txt")->action);
  EXPECT_EQ(RecordAction::kKeptNewer, entryOf(read, u"newer.txt")->action);
  EXPECT_EQ(RecordAction::kUpToDate, entryOf(read, u"same.txt")->action);
  // The control folder and the record are the user's alone.
  struct stat status = {};
  ASSERT_EQ(0, stat((scene / ".n8ctl").c_str(), &status));
  EXPECT_EQ(0700u, status.st_mode & 0777);
  ASSERT_EQ(0, stat((scene / ".n8ctl/record").c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);

  // A rerun finds every file as it left it: the record keeps what the
  // first run did and is not written again.
  const auto installed = snapshot(scene.templateDir());
  ASSERT_EQ(0u, install());
  EXPECT_EQ("", differences(installed, snapshot(scene.templateDir())));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());

  // The same entries listed the other way round are still found in the
  // record: what the first run put there stays its.
  openKit({{u"forms\\new.xml", "<new/>", kitTime(kKitTime + 5)},
           {u"same.txt", "kit same", kitTime(kKitTime)},
           {u"newer.txt", "kit newer", kitTime(kKitTime)},
           {u"old.txt", "kit old", kitTime(kKitTime)}});
  ASSERT_EQ(0u, install());
  const InstallationRecord reordered = record();
  ASSERT_EQ(4u, reordered.entries.size());
  EXPECT_EQ(u"forms/new.xml", reordered.entries[0].path);
  EXPECT_EQ(RecordAction::kInstalled, entryOf(reordered, u"forms/new.xml")->action);
  EXPECT_EQ(RecordAction::kReplaced, entryOf(reordered, u"old.txt")->action);
  EXPECT_EQ(RecordAction::kKeptNewer, entryOf(reordered, u"newer.txt")->action);
  EXPECT_EQ(crc_of_text("user's newer"), entryOf(reordered, u"newer.txt")->crc32);
  EXPECT_EQ(RecordAction::kUpToDate, entryOf(reordered, u"same.txt")->action);
  EXPECT_EQ(4u, report().places);
}

// A run that fails, also while its record is being put in place, leaves
// the directory and the record before it exactly as they were.
TEST_F(InstallerRecordTest, ARolledBackRunLeavesThePreviousRecordExactly) {
  openKit({{u"a.txt", "first a", kitTime(kKitTime)}, {u"b.txt", "first b", kitTime(kKitTime)}});
  ASSERT_EQ(0u, install());
  const std::string firstRecord = readText(scene / ".n8ctl/record");
  openKit({{u"a.txt", "second a", kitTime(kNewer)}, {u"b.txt", "second b", kitTime(kNewer)}});
  const auto before = snapshot(scene.templateDir());
  // The record is opened first to be read, then its temporary is created.
  for (const auto& failing : {std::make_pair(FileOp::CreateFile, 2), std::make_pair(FileOp::MoveFileEx, 1)}) {
    FileFaultInjector fault(failing.second, ERROR_DISK_FULL);
    fault.only({failing.first}).below(widen_lib(scene / ".n8ctl/"));
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), install());
    EXPECT_TRUE(fault.fired());
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_EQ(firstRecord, readText(scene / ".n8ctl/record"));
  }
  ASSERT_EQ(0u, install());
  EXPECT_EQ("second a", readText(scene / "a.txt"));
  EXPECT_EQ(RecordAction::kReplaced, entryOf(record(), u"a.txt")->action);
  // The first run into a directory makes the control folder; its failure
  // takes it away again.
  writeFile(scene.scratch("fresh/keep.txt"), "keep", kOlder);
  data.init(&kit, widen_lib(scene.scratch("fresh")));
  const auto fresh = snapshot(scene.scratch("fresh"));
  FileFaultInjector fault(1, ERROR_DISK_FULL);
  fault.only({FileOp::MoveFileEx}).below(widen_lib(scene.scratch("fresh/.n8ctl/")));
  EXPECT_EQ(uint32_t(ERROR_DISK_FULL), Installer().run(&data));
  EXPECT_EQ("", differences(fresh, snapshot(scene.scratch("fresh"))));
}

// A kit rebuilt with new times and the same bytes rewrites nothing: each
// file keeps its inode and takes the entry's time, which a rollback puts
// back. A file of the same size with other bytes is written as before.
TEST_F(InstallerRecordTest, AFileHoldingTheEntrysBytesOnlyTakesItsTime) {
  writeFile(scene / "same.txt", "same bytes", kOlder);
  writeFile(scene / "sub/same.bin", std::string("\0\1\2", 3), kOlder, 0640);
  writeFile(scene / "other.txt", "other byte", kOlder);
  const ino_t sameInode = inode_of(scene / "same.txt");
  const ino_t binInode = inode_of(scene / "sub/same.bin");
  const ino_t otherInode = inode_of(scene / "other.txt");
  openKit({{u"same.txt", "same bytes", kitTime(kKitTime)},
           {u"sub\\same.bin", std::string("\0\1\2", 3), kitTime(kKitTime)},
           {u"other.txt", "OTHER BYTE", kitTime(kKitTime)},
           {u"last.txt", "last", kitTime(kKitTime)}});
  const auto before = snapshot(scene.templateDir());
  {
    // The last entry (index 3) fails: the times come back.
    FileFaultInjector fault;
    fault.only({FileOp::CreateFile}).below(widen_lib(scene.templateDir() + "/"));
    fault.answering([](FileOp, const std::u16string& path) {
      const bool last = path.size() > 2 && path.compare(path.size() - 2, 2, u"-3") == 0;
      return last ? uint32_t(ERROR_DISK_FULL) : 0u;
    });
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), install());
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  }
  ASSERT_EQ(0u, install());
  EXPECT_EQ(sameInode, inode_of(scene / "same.txt"));
  EXPECT_EQ(binInode, inode_of(scene / "sub/same.bin"));
  EXPECT_EQ(kKitTime, modificationTime(scene / "same.txt"));
  EXPECT_EQ(kKitTime, modificationTime(scene / "sub/same.bin"));
  EXPECT_NE(otherInode, inode_of(scene / "other.txt"));
  EXPECT_EQ("OTHER BYTE", readText(scene / "other.txt"));
  const RunReport counts = report();
  EXPECT_EQ(2u, counts.timeUpdated);
  EXPECT_EQ(2u, counts.installed);  // other.txt replaced, last.txt new
  EXPECT_EQ(1u, counts.replaced);
  const InstallationRecord read = record();
  EXPECT_EQ(RecordAction::kTimeUpdated, entryOf(read, u"same.txt")->action);
  EXPECT_EQ(RecordAction::kReplaced, entryOf(read, u"other.txt")->action);
}

}  // namespace
