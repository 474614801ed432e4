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
};

TEST_F(RollbackTest, BackupFolderTakesTheFirstFreeNumber) {
  mkdir((scene.tempDir() + "/n8stp0").c_str(), 0755);
  writeFile(scene.tempDir() + "/n8stp1", "a file of that name", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_EQ(w(scene.tempDir() + "/n8stp2/"), journal.backupDirectory());
  EXPECT_TRUE(isDir(scene.tempDir() + "/n8stp2"));
  EXPECT_TRUE(journal.createdDirectories().empty());  // the folder is not part of the target

  // One into another directory at the same time gets its own folder.
  mkdir(scene.scratch("other").c_str(), 0755);
  Rollback other;
  ASSERT_EQ(0u, other.start(w(scene.scratch("other") + "/")));
  EXPECT_EQ(w(scene.tempDir() + "/n8stp3/"), other.backupDirectory());
  other.stop();
  journal.stop();
  EXPECT_FALSE(exists(scene.tempDir() + "/n8stp2"));
  EXPECT_FALSE(exists(scene.tempDir() + "/n8stp3"));
  EXPECT_TRUE(isDir(scene.tempDir() + "/n8stp0"));
}

TEST_F(RollbackTest, StartReportsTheFileLayersError) {
  FileFaultInjector fault(1, ERROR_INVALID_NAME);
  EXPECT_EQ(ERROR_INVALID_NAME, journal.start(target()));
  EXPECT_TRUE(fault.fired());
  EXPECT_TRUE(journal.backupDirectory().empty());
  EXPECT_EQ(87u, journal.rollback(87));
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());
}

// A temporary directory whose path leaves no room for the folder name: the
// backup folder cannot be made, and start says so instead of trying on.
TEST_F(RollbackTest, StartReportsABackupFolderThatCannotBeMade) {
  std::string deep = scene.tempDir();
  const std::string level(200, 'd');
  while (deep.size() + 1 + level.size() < 4090) {
    deep += "/" + level;
    ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
  }
  deep += "/" + std::string(4090 - deep.size() - 1, 'e');
  ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
  EnvGuard tmp("TMPDIR", deep.c_str());
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, journal.start(target()));
  EXPECT_TRUE(journal.backupDirectory().empty());
  EXPECT_EQ(87u, journal.rollback(87));
  EXPECT_TRUE(isDir(deep));
}

TEST_F(RollbackTest, EmptyTargetHasNoBackupFolderAndUndoesOnlyItsRecords) {
  writeFile(scene / "mine.txt", "user", 1000);
  writeFile(scene / "added.txt", "installer", 1000);
  ASSERT_EQ(0u, journal.start(u""));
  EXPECT_TRUE(journal.backupDirectory().empty());
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.storeRBFile(w(scene / "mine.txt")));
  journal.addRBFile(w(scene / "added.txt"));
  EXPECT_EQ(2u, journal.rollback(2));
  EXPECT_FALSE(exists(scene / "added.txt"));
  EXPECT_EQ("user", readText(scene / "mine.txt"));
}

TEST_F(RollbackTest, StoreMovesTheFileToItsMirroredPlace) {
  writeFile(scene / "sub/deep/a.txt", "original", 1000, 0600);
  ASSERT_EQ(0u, journal.start(target()));
  const std::string backup = narrow_lib(journal.backupDirectory());
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "sub/deep/a.txt")));
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
  writeFile(scene / "sub/a.txt", "first install", 2000);
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
  writeFile(scene / "new.txt", "added", 2000);
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "new.txt")));
  EXPECT_EQ("added", readText(scene / "new.txt"));

  journal.rollback(87);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());
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
    counter.only({FileOp::CreateOneDirectory, FileOp::CreateDirectory});
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
  writeFile(scene / "existing/sub/replaced.txt", "new version", 3000);
  ASSERT_EQ(ERROR_FILE_NOT_FOUND, journal.storeRBFile(w(scene / "existing/added.txt")));
  journal.addRBFile(w(scene / "existing/added.txt"));
  writeFile(scene / "existing/added.txt", "added", 3000);
  ASSERT_EQ(0u, journal.makeDirectoryTree(w(scene / "fresh/a/b")));
  journal.addRBFile(w(scene / "fresh/a/b/f.txt"));
  writeFile(scene / "fresh/a/b/f.txt", "f", 3000);

  EXPECT_EQ(1223u, journal.rollback(1223));
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());
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
  writeFile(scene / "a.txt", "new a", 2000);
  writeFile(scene / "b.txt", "new b", 2000);
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
  // The journal and the run record stay: the next start tries again.
  EXPECT_TRUE(exists(narrow_lib(journal.journalPath())));
  EXPECT_EQ(std::vector<std::u16string>{target()}, recover_stopped_installations());
  EXPECT_EQ("original a", readText(scene / "a.txt"));
  EXPECT_EQ("original b", readText(scene / "b.txt"));
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());
  EXPECT_EQ(0u, entryNames(scene.homeDir()).size());
}

TEST_F(RollbackTest, StopDeletesTheBackupFolder) {
  ASSERT_EQ(0u, journal.start(target()));
  // The folder and its journal beside it.
  EXPECT_EQ(2u, backupFolders(scene.tempDir()).size());
  journal.stop();
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());

  writeFile(scene / "sub/x.txt", "old", 1000);
  Rollback second;
  ASSERT_EQ(0u, second.start(target()));
  ASSERT_EQ(0u, second.storeRBFile(w(scene / "sub/x.txt")));
  second.stop();
  EXPECT_TRUE(backupFolders(scene.tempDir()).empty());
  EXPECT_FALSE(exists(scene / "sub/x.txt"));  // stop keeps the run's result
}

}  // namespace
