#include "install/rollback.h"

#include <gtest/gtest.h>

#include "install/install_test_util.h"
#include "install/recovery.h"
#include "platform/file_fault_injector.h"

using namespace install_test;

namespace {

std::u16string w(const std::string& text) { return widen_lib(text); }

class RollbackTest : public testing::Test {
 protected:
  InstallScene scene;
  Rollback journal;
  std::u16string target() const { return w(scene.templateDir() + "/"); }
  // Writes `path` as the run would, telling the journal what it wrote.
  void install(const std::string& path, const std::string& content, int64_t seconds) {
    writeFile(path, content, seconds);
    ExpectedFile expected;
    expected.size = content.size();
    expected.writeSeconds = seconds;
    journal.planExpected(w(path), expected);
  }
  // The run's private folders in the template directory.
  std::vector<std::string> privateFolders() const {
    std::vector<std::string> found;
    for (const std::string& name : entryNames(scene.templateDir()))
      if (name.compare(0, 6, ".n8stp") == 0) found.push_back(name);
    return found;
  }
};

TEST_F(RollbackTest, PrivateFolderInTheTargetTakesTheFirstFreeNumber) {
  // Another user's folder of that name, and a file: neither is touched.
  mkdir((scene / ".n8stp0").c_str(), 0700);
  ASSERT_EQ(0, chown((scene / ".n8stp0").c_str(), geteuid() + 1, getegid()));
  writeFile(scene / ".n8stp1", "a file of that name", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  // Made when the run first has something to write.
  EXPECT_TRUE(journal.privateFolder().empty());
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
  journal.addRBFile(w(scene / "new.txt"));
  ASSERT_EQ(0u, journal.flushJournal());
  EXPECT_EQ(target() + u".n8stp2/", journal.privateFolder());
  EXPECT_EQ(target() + u".n8stp2/b/", journal.backupDirectory());
  EXPECT_EQ(target() + u".n8stp2/journal", journal.journalPath());
  struct stat status;
  ASSERT_EQ(0, lstat((scene / ".n8stp2").c_str(), &status));
  EXPECT_EQ(0700u, status.st_mode & 07777);
  EXPECT_TRUE(journal.createdDirectories().empty());  // the folder is not part of the target
  EXPECT_EQ(1u, leftInHome(scene.homeDir()).size());  // the run record

  // One into another directory at the same time gets its own folder there.
  mkdir(scene.scratch("other").c_str(), 0755);
  Rollback other;
  ASSERT_EQ(0u, other.start(w(scene.scratch("other") + "/")));
  other.addRBFile(w(scene.scratch("other") + "/x"));
  ASSERT_EQ(0u, other.flushJournal());
  EXPECT_EQ(w(scene.scratch("other") + "/.n8stp0/"), other.privateFolder());
  // A second run into the same directory, or one around it, is refused.
  Rollback same;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), same.start(target()));
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), same.start(w(scene.scratch("") )));
  other.stop();
  journal.stop();
  EXPECT_FALSE(exists(scene / ".n8stp2"));
  EXPECT_FALSE(exists(scene.scratch("other/.n8stp0")));
  EXPECT_TRUE(isDir(scene / ".n8stp0"));
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
}

// Starting and opening the journal (run record, private folder, journal)
// failed at each operation in turn: the failure is returned and a
// rollback leaves nothing, in the directory or the home directory.
TEST_F(RollbackTest, OpeningReportsTheFileLayersErrorAndLeavesNothing) {
  const auto before = snapshot(scene.templateDir());
  uint64_t failed = 0;
  for (uint64_t k = 1;; ++k) {
    FileFaultInjector fault(k, ERROR_INVALID_NAME);
    uint32_t result = journal.start(target());
    if (result == 0) {
      journal.addRBFile(w(scene / "new.txt"));
      result = journal.flushJournal();
    }
    if (!fault.fired()) {
      EXPECT_EQ(0u, result);
      journal.rollback(1223);
      break;
    }
    // A look that fails may be done without; a step that fails fails.
    if (result != 0) ++failed;
    journal.rollback(87);
    ASSERT_EQ("", differences(before, snapshot(scene.templateDir()))) << k;
    ASSERT_TRUE(leftInHome(scene.homeDir()).empty()) << k;
  }
  EXPECT_GT(failed, 8u);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
}

// A home directory where the run record cannot be written: the failure
// names the state folder, not the template directory.
TEST_F(RollbackTest, ARecordThatCannotBeWrittenIsNamed) {
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_TRUE(journal.startFailurePath().empty());  // nothing to write yet
  journal.addRBFile(w(scene / "new.txt"));
  {
    FileFaultInjector fault(1, ERROR_DISK_FULL);
    fault.only({FileOp::CreateFile});
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), journal.flushJournal());
  }
  EXPECT_EQ(w(scene.homeDir() + "/.ovn8setup"), journal.startFailurePath());
  journal.rollback(112);
  EXPECT_TRUE(privateFolders().empty());
}

TEST_F(RollbackTest, EmptyTargetHasNoBackupFolderAndUndoesOnlyItsRecords) {
  writeFile(scene / "mine.txt", "user", 1000);
  writeFile(scene / "added.txt", "installer", 1000);
  ASSERT_EQ(0u, journal.start(u""));
  EXPECT_TRUE(journal.backupDirectory().empty());
  EXPECT_TRUE(privateFolders().empty());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.storeRBFile(w(scene / "mine.txt")));
  journal.addRBFile(w(scene / "added.txt"));
  EXPECT_EQ(2u, journal.rollback(2));
  EXPECT_FALSE(exists(scene / "added.txt"));
  EXPECT_EQ("user", readText(scene / "mine.txt"));
}

TEST_F(RollbackTest, StoreMovesTheFileToItsMirroredPlace) {
  writeFile(scene / "sub/deep/a.txt", "original", 1000, 0600);
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "sub/deep/a.txt")));
  const std::string backup = narrow_lib(journal.backupDirectory());
  EXPECT_FALSE(exists(scene / "sub/deep/a.txt"));
  EXPECT_EQ("original", readText(backup + "sub/deep/a.txt"));

  // No file: 2, and nothing is made in the backup folder for it.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, journal.storeRBFile(w(scene / "other/b.txt")));
  EXPECT_FALSE(exists(backup + "other"));
  // A directory cannot be replaced by a file.
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.storeRBFile(w(scene / "sub/deep")));
  EXPECT_TRUE(isDir(scene / "sub/deep"));
}

TEST_F(RollbackTest, StoreRefusesPathsOutsideTheTarget) {
  writeFile(scene.scratch("outside.txt"), "not ours", 1000);
  writeFile(scene / "in.txt", "ours", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_EQ(ERROR_INVALID_NAME, journal.storeRBFile(w(scene.scratch("outside.txt"))));
  EXPECT_EQ(ERROR_INVALID_NAME, journal.storeRBFile(w(scene / "../outside.txt")));
  EXPECT_EQ(ERROR_INVALID_NAME, journal.storeRBFile(w(scene / "sub/../../outside.txt")));
  EXPECT_EQ(ERROR_INVALID_NAME, journal.storeRBFile(target()));
  EXPECT_EQ("not ours", readText(scene.scratch("outside.txt")));
  EXPECT_EQ(journal.rollback(0), 0u);
  EXPECT_EQ("not ours", readText(scene.scratch("outside.txt")));
  EXPECT_EQ("ours", readText(scene / "in.txt"));
}

TEST_F(RollbackTest, SamePathTwiceKeepsTheOriginal) {
  writeFile(scene / "sub/a.txt", "original bytes\n\x01\x02", 1000, 0640);
  const auto before = snapshot(scene.templateDir());
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, journal.storeRBFile(w(scene / "sub/a.txt")));
  install(scene / "sub/a.txt", "first install", 2000);
  // The same file under other spellings is already kept: the new file stays.
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "sub/a.txt")));
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "sub//a.txt")));
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "./sub/./a.txt")));
  EXPECT_EQ("first install", readText(scene / "sub/a.txt"));
  journal.addRBFile(w(scene / "sub/a.txt"));  // must not get the original deleted
  EXPECT_EQ("original bytes\n\x01\x02",
            readText(narrow_lib(journal.backupDirectory()) + "sub/a.txt"));

  // A file this run added is not moved into the backup folder either.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, journal.storeRBFile(w(scene / "new.txt")));
  journal.addRBFile(w(scene / "new.txt"));
  install(scene / "new.txt", "added", 2000);
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "new.txt")));
  EXPECT_EQ("added", readText(scene / "new.txt"));

  journal.rollback(87);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

TEST_F(RollbackTest, RemovedAddedFileIsNoLongerKnown) {
  ASSERT_EQ(0u, journal.start(target()));
  journal.addRBFile(w(scene / "x.txt"));
  journal.addRBFile(w(scene / "y.txt"));
  journal.addRBFile(w(scene / "x.txt"));
  journal.removeRBFile(w(scene / "x.txt"));
  ASSERT_EQ(2u, journal.addedFiles().size());
  EXPECT_EQ(w(scene / "y.txt"), journal.addedFiles()[0]);
  EXPECT_EQ(w(scene / "x.txt"), journal.addedFiles()[1]);
  journal.removeRBFile(w(scene / "x.txt"));
  journal.removeRBFile(w(scene / "none.txt"));
  ASSERT_EQ(1u, journal.addedFiles().size());
  // x.txt is neither added nor kept now: a file there is backed up again.
  writeFile(scene / "x.txt", "present", 1000);
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "x.txt")));
  EXPECT_FALSE(exists(scene / "x.txt"));
  journal.rollback(1);
  EXPECT_EQ("present", readText(scene / "x.txt"));
}

TEST_F(RollbackTest, DirectoryTreeRecordsOnlyWhatItCreates) {
  makeDirs(scene / "existing");
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_EQ(0u, journal.makeDirectoryTree(w(scene.templateDir())));
  EXPECT_EQ(0u, journal.makeDirectoryTree(w(scene / "existing/")));
  EXPECT_TRUE(journal.createdDirectories().empty());

  EXPECT_EQ(0u, journal.makeDirectoryTree(w(scene / "new/two/")));
  ASSERT_EQ(2u, journal.createdDirectories().size());
  EXPECT_EQ(w(scene / "new"), journal.createdDirectories()[0]);
  EXPECT_EQ(w(scene / "new/two"), journal.createdDirectories()[1]);
  EXPECT_TRUE(isDir(scene / "new/two"));

  EXPECT_EQ(0u, journal.makeDirectoryTree(u"/"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, journal.makeDirectoryTree(u"relative"));
  writeFile(scene / "file", "x", 1000);
  EXPECT_NE(0u, journal.makeDirectoryTree(w(scene / "file/below")));
  EXPECT_EQ(2u, journal.createdDirectories().size());
}

// One look per level on the way up, one creation per missing level on the
// way down: a deep tree costs operations in proportion to its depth.
TEST_F(RollbackTest, DeepTreeIsMadeLevelByLevelWithoutRepeatedWork) {
  ASSERT_EQ(0u, journal.start(target()));
  std::string deep = scene / "deep";
  for (int i = 0; i < 1000; ++i) deep += "/d";
  uint64_t creations = 0, looks = 0;
  {
    FileFaultInjector counter;
    counter.only({FileOp::CreateOneDirectory, FileOp::CreateDirectory})
        .below(w(scene.templateDir()))
        .skipping(u"/.n8stp");
    EXPECT_EQ(0u, journal.makeDirectoryTree(w(deep + "/")));
    creations = counter.count();
  }
  {
    FileFaultInjector counter;
    counter.only({FileOp::GetFileStatus});
    EXPECT_EQ(0u, journal.makeDirectoryTree(w(deep + "/x")));
    looks = counter.count();
  }
  EXPECT_EQ(1001u, creations);
  EXPECT_LE(looks, 3u);  // the missing level and the existing one above it
  ASSERT_EQ(1002u, journal.createdDirectories().size());
  EXPECT_EQ(w(scene / "deep"), journal.createdDirectories().front());
  EXPECT_EQ(w(deep + "/x"), journal.createdDirectories().back());
  EXPECT_TRUE(isDir(deep + "/x"));
  journal.rollback(ERROR_CANCELLED);
  EXPECT_FALSE(exists(scene / "deep"));

  // Doubled separators name the same levels.
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_EQ(0u, journal.makeDirectoryTree(w(scene / "p//q///r")));
  ASSERT_EQ(3u, journal.createdDirectories().size());
  EXPECT_EQ(w(scene / "p//q"), journal.createdDirectories()[1]);
  EXPECT_TRUE(isDir(scene / "p/q/r"));
}

TEST_F(RollbackTest, RollbackRestoresFilesAndRemovesWhatTheRunMade) {
  writeFile(scene / "existing/keep.txt", "keep", 1000);
  writeFile(scene / "existing/sub/replaced.txt", "old version", 1000, 0600);
  setTimes(scene / "existing/sub", 1500, 123);
  setTimes(scene / "existing", 1600, 456);
  setTimes(scene.templateDir(), 1700, 789);
  const auto before = snapshot(scene.templateDir());

  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, journal.storeRBFile(w(scene / "existing/sub/replaced.txt")));
  install(scene / "existing/sub/replaced.txt", "new version", 3000);
  ASSERT_EQ(ERROR_FILE_NOT_FOUND, journal.storeRBFile(w(scene / "existing/added.txt")));
  journal.addRBFile(w(scene / "existing/added.txt"));
  install(scene / "existing/added.txt", "added", 3000);
  ASSERT_EQ(0u, journal.makeDirectoryTree(w(scene / "fresh/a/b")));
  journal.addRBFile(w(scene / "fresh/a/b/f.txt"));
  install(scene / "fresh/a/b/f.txt", "f", 3000);

  EXPECT_EQ(1223u, journal.rollback(1223));
  EXPECT_TRUE(journal.lastUndo().complete);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

TEST_F(RollbackTest, RollbackNeverFollowsALinkNorRemovesUnrecordedFiles) {
  ScratchDir elsewhere;
  writeFile(elsewhere / "precious.txt", "precious", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, journal.makeDirectoryTree(w(scene / "made")));
  ASSERT_EQ(0u, journal.makeDirectoryTree(w(scene / "other")));
  // Someone replaces a created directory by a link, and puts a file of
  // their own into another one.
  rmdir((scene / "made").c_str());
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (scene / "made").c_str()));
  writeFile(scene / "other/theirs.txt", "theirs", 1000);

  journal.rollback(87);
  EXPECT_EQ("precious", readText(elsewhere / "precious.txt"));
  EXPECT_EQ("theirs", readText(scene / "other/theirs.txt"));
  struct stat status;
  EXPECT_EQ(0, lstat((scene / "made").c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST_F(RollbackTest, BackupThatCannotBeMovedBackStaysInTheBackupFolder) {
  writeFile(scene / "a.txt", "original a", 1000);
  writeFile(scene / "b.txt", "original b", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, journal.storeRBFile(w(scene / "a.txt")));
  ASSERT_EQ(0u, journal.storeRBFile(w(scene / "b.txt")));
  ASSERT_EQ(0u, journal.makeDirectoryTree(w(scene / "made")));
  install(scene / "a.txt", "new a", 2000);
  install(scene / "b.txt", "new b", 2000);
  const std::string backup = narrow_lib(journal.backupDirectory());
  {
    FileFaultInjector fault(1);
    fault.only({FileOp::MoveFileEx});
    journal.rollback(87);
    EXPECT_TRUE(fault.fired());
  }
  // One of the two moves failed: that original is still in the backup
  // folder, the other is back, and the created directory is gone.
  const std::string a = readText(scene / "a.txt"), b = readText(scene / "b.txt");
  EXPECT_TRUE((a == "new a") != (b == "new b"));
  const std::string kept = a == "new a" ? "a.txt" : "b.txt";
  EXPECT_EQ("original " + kept.substr(0, 1), readText(backup + kept));
  EXPECT_FALSE(exists(scene / "made"));
  // The rollback says so; the journal and the run record stay, and the
  // next start tries again.
  EXPECT_FALSE(journal.lastUndo().complete);
  EXPECT_EQ(std::vector<std::u16string>{target() + w(kept)}, journal.lastUndo().notRestored);
  EXPECT_EQ(journal.privateFolder(), journal.lastUndo().keptIn);
  EXPECT_TRUE(exists(narrow_lib(journal.journalPath())));
  const std::vector<RecoveryNotice> notices = recover_stopped_installations();
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(RecoveryNotice::Kind::kRestored, notices[0].kind);
  EXPECT_EQ(target(), notices[0].directory);
  EXPECT_EQ("original a", readText(scene / "a.txt"));
  EXPECT_EQ("original b", readText(scene / "b.txt"));
  EXPECT_TRUE(privateFolders().empty());
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
}

TEST_F(RollbackTest, StopDeletesThePrivateFolder) {
  ASSERT_EQ(0u, journal.start(target()));
  journal.addRBFile(w(scene / "new.txt"));
  ASSERT_EQ(0u, journal.flushJournal());
  EXPECT_EQ(1u, privateFolders().size());
  journal.stop();
  EXPECT_TRUE(privateFolders().empty());

  // The directory stays locked until the run's object is gone.
  Rollback second;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), second.start(target()));
  writeFile(scene / "sub/x.txt", "old", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, journal.storeRBFile(w(scene / "sub/x.txt")));
  journal.stop();
  EXPECT_TRUE(privateFolders().empty());
  EXPECT_FALSE(exists(scene / "sub/x.txt"));  // stop keeps the run's result
}

}  // namespace
