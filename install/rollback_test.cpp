#include "install/rollback.h"

#include <gtest/gtest.h>

#include "install/install_test_util.h"
#include "install/recovery.h"
#include "platform/file_fault_injector.h"
#include "platform/file_op_name.h"
#include "platform/path.h"

using namespace install_test;

namespace {

std::u16string w(const std::string& text) { return widen_lib(text); }

// A file as a batch of the run installs it.
struct Written {
  std::string path;
  std::string content;
  int64_t seconds;
};

class RollbackTest : public testing::Test {
 protected:
  InstallScene scene;
  Rollback journal;
  std::u16string target() const { return w(scene.templateDir() + "/"); }

  // One batch as the installer runs it: every step of every file is planned
  // and the plan put on disk, the originals are kept (by a second name where
  // the file system allows) and their names synced, and only then is each
  // file written under its temporary name and renamed over its place.
  uint32_t installBatch(const std::vector<Written>& files) {
    struct Step {
      Rollback::Plan plan = Rollback::Plan::kAdd;
      std::u16string temporary;
      bool linked = false;
    };
    std::vector<Step> steps(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      const std::u16string path = w(files[i].path);
      FileStatus seen;
      uint32_t result = link_status(path, seen);
      if (result == 0) result = journal.planDirectoryTree(parent_directory(path));
      if (result == 0) result = journal.planFile(path, seen, steps[i].plan);
      if (result != 0) return result;
      if (steps[i].plan == Rollback::Plan::kAdd) journal.addRBFile(path);
      ExpectedFile expected;
      expected.size = files[i].content.size();
      expected.writeSeconds = files[i].seconds;
      journal.planExpected(path, expected);
      steps[i].temporary = journal.planTemporary(path, nextIndex_++);
    }
    uint32_t result = journal.flushJournal();
    for (size_t i = 0; result == 0 && i < files.size(); ++i)
      if (steps[i].plan == Rollback::Plan::kKeep)
        result = journal.keepOriginal(w(files[i].path), &steps[i].linked);
    if (result == 0) result = journal.syncKeptOriginals();
    for (size_t i = 0; result == 0 && i < files.size(); ++i) {
      const std::u16string path = w(files[i].path);
      result = journal.createPlannedTree(parent_directory(path));
      if (result != 0) break;
      writeFile(narrow_lib(steps[i].temporary), files[i].content, files[i].seconds);
      const bool replaces = steps[i].plan == Rollback::Plan::kAgain || steps[i].linked;
      result = FileSystem::MoveFileEx(steps[i].temporary, path,
                                      replaces ? uint32_t(MOVEFILE_REPLACE_EXISTING) : 0u);
      if (result == 0) journal.temporaryPlaced();
    }
    return result;
  }
  uint32_t installFile(const std::string& path, const std::string& content, int64_t seconds) {
    return installBatch({{path, content, seconds}});
  }
  // The missing levels of `dir`, planned, put on disk and made.
  uint32_t makeTree(const std::string& dir) {
    uint32_t result = journal.planDirectoryTree(w(dir));
    if (result == 0) result = journal.flushJournal();
    return result == 0 ? journal.createPlannedTree(w(dir)) : result;
  }
  // The run's private folders in the template directory.
  std::vector<std::string> privateFolders() const { return privateFoldersIn(scene.templateDir()); }

 private:
  uint32_t nextIndex_ = 0;
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
  FileStatus seen;
  ASSERT_EQ(0u, link_status(w(scene / "mine.txt"), seen));
  Rollback::Plan plan;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.planFile(w(scene / "mine.txt"), seen, plan));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.storeRBFile(w(scene / "mine.txt")));
  journal.addRBFile(w(scene / "added.txt"));
  EXPECT_EQ(2u, journal.rollback(2));
  EXPECT_FALSE(exists(scene / "added.txt"));
  EXPECT_EQ("user", readText(scene / "mine.txt"));
}

TEST_F(RollbackTest, PlansTellKeptAddedAndAgainAndRefuseWhatCannotBeKept) {
  writeFile(scene / "sub/deep/a.txt", "original", 1000, 0600);
  writeFile(scene.scratch("outside.txt"), "not ours", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  FileStatus file, missing, folder;
  ASSERT_EQ(0u, link_status(w(scene / "sub/deep/a.txt"), file));
  ASSERT_EQ(0u, link_status(w(scene / "sub/deep"), folder));
  Rollback::Plan plan;
  ASSERT_EQ(0u, journal.planFile(w(scene / "sub/deep/a.txt"), file, plan));
  EXPECT_EQ(Rollback::Plan::kKeep, plan);
  // Other spellings of a planned file are the same file.
  for (const char* spelling : {"sub//deep/a.txt", "./sub/./deep/a.txt"}) {
    ASSERT_EQ(0u, journal.planFile(w(scene / spelling), file, plan));
    EXPECT_EQ(Rollback::Plan::kAgain, plan) << spelling;
  }
  ASSERT_EQ(0u, journal.planFile(w(scene / "new.txt"), missing, plan));
  EXPECT_EQ(Rollback::Plan::kAdd, plan);
  journal.addRBFile(w(scene / "new.txt"));
  ASSERT_EQ(0u, journal.planFile(w(scene / "new.txt"), missing, plan));
  EXPECT_EQ(Rollback::Plan::kAgain, plan);
  // A directory cannot be replaced by a file; nothing outside the target,
  // the target itself, or the wizard's own names can be planned.
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.planFile(w(scene / "sub/deep"), folder, plan));
  for (const std::string& path :
       {scene.scratch("outside.txt"), scene / "../outside.txt", scene / "sub/../../outside.txt",
        scene.templateDir(), scene / ".n8stp0/b/x", scene / "sub/.n8new1-1-1"})
    EXPECT_EQ(ERROR_INVALID_NAME, journal.planFile(w(path), file, plan)) << path;
  // Nothing moves before the plan is on disk and the original is kept.
  ASSERT_EQ(0u, journal.flushJournal());
  EXPECT_EQ("original", readText(scene / "sub/deep/a.txt"));
  ASSERT_EQ(0u, journal.keepOriginal(w(scene / "sub/deep/a.txt")));
  EXPECT_FALSE(exists(scene / "sub/deep/a.txt"));
  EXPECT_EQ("original", readText(narrow_lib(journal.backupDirectory()) + "sub/deep/a.txt"));
  EXPECT_EQ(ERROR_INVALID_NAME, journal.keepOriginal(w(scene.scratch("outside.txt"))));
  // A planned original that has gone meanwhile is no "not found" the caller
  // could take for a missing file.
  EXPECT_EQ(ERROR_INVALID_PARAMETER, journal.keepOriginal(w(scene / "sub/deep/a.txt")));
  journal.rollback(87);
  EXPECT_EQ("original", readText(scene / "sub/deep/a.txt"));
  EXPECT_EQ("not ours", readText(scene.scratch("outside.txt")));
}

TEST_F(RollbackTest, OriginalsKeptByASecondNameOrMovedComeBackAfterAFailure) {
  writeFile(scene / "a.txt", "original a", 1000, 0640);
  writeFile(scene / "sub/b.txt", "original b", 1000);
  setTimes(scene / "sub", 1500, 123);
  setTimes(scene.templateDir(), 1700, 789);
  const auto before = snapshot(scene.templateDir());
  ASSERT_EQ(0u, journal.start(target()));
  uint64_t links = 0;
  {
    // A file system that refuses the first second name: every original of
    // the run then moves, and no second name is tried again.
    FileFaultInjector refusal(1, ERROR_NOT_SUPPORTED);
    refusal.only({FileOp::CreateHardLink});
    ASSERT_EQ(0u, installBatch({{scene / "a.txt", "new a", 3000},
                                {scene / "sub/b.txt", "new b", 3000},
                                {scene / "fresh/deep/c.txt", "c", 3000}}));
    links = refusal.count();
  }
  EXPECT_EQ(1u, links);
  EXPECT_EQ("new a", readText(scene / "a.txt"));
  EXPECT_EQ("original b", readText(narrow_lib(journal.backupDirectory()) + "sub/b.txt"));
  ASSERT_EQ(0u, installFile(scene / "a.txt", "again", 3000));  // the original stays kept
  EXPECT_EQ(1223u, journal.rollback(1223));
  EXPECT_TRUE(journal.lastUndo().complete);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());

  // With second names the originals never leave their place until the new
  // file replaces them.
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, installFile(scene / "a.txt", "linked a", 3000));
  EXPECT_EQ("original a", readText(narrow_lib(journal.backupDirectory()) + "a.txt"));
  journal.rollback(87);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

// The whole production path of a batch and its end, failed at each file
// operation in turn: a run that fails rolls back to exactly what was there,
// one that ends well has installed everything; nothing is left in the home
// directory, and no private folder stays once the next start has looked.
TEST_F(RollbackTest, EveryFailingStepOfABatchRollsBackExactly) {
  const auto prepare = [this] {
    testkit::removeTree(scene.templateDir());
    writeFile(scene / "a.txt", "original a", 1000, 0600);
    writeFile(scene / "sub/b.txt", "original b", 1000);
    setTimes(scene / "sub", 1500, 5);
    setTimes(scene.templateDir(), 1700, 7);
    return snapshot(scene.templateDir());
  };
  const std::vector<Written> batch = {{scene / "a.txt", "new a", 3000},
                                      {scene / "sub/b.txt", "new b", 3000},
                                      {scene / "sub/new/c.txt", "c", 3000},
                                      {scene / "d.txt", "d", 3000}};
  uint64_t failures = 0;
  for (uint64_t k = 1;; ++k) {
    const auto before = prepare();
    uint32_t result = 0;
    bool fired = false;
    FileOp op = FileOp::CreateFile;
    {
      FileFaultInjector fault(k, ERROR_DISK_FULL);
      result = journal.start(target());
      if (result == 0) result = installBatch(batch);
      if (result == 0) result = journal.stop();
      fired = fault.fired();
      if (fired) op = fault.firedOp();
    }
    if (result != 0) {
      ++failures;
      journal.rollback(result);
      ASSERT_TRUE(journal.lastUndo().complete) << k << " " << file_op_name(op) << " " << result;
      ASSERT_EQ("", differences(before, snapshot(scene.templateDir()))) << k;
    } else {
      for (const Written& file : batch) ASSERT_EQ(file.content, readText(file.path)) << k;
    }
    // The lock ends with the run; a start then clears whatever a step that
    // failed after the commit left.
    journal.start(u"");
    recover_stopped_installations();
    ASSERT_TRUE(privateFolders().empty()) << k;
    ASSERT_TRUE(leftInHome(scene.homeDir()).empty()) << k;
    if (result == 0 && !fired) break;
    ASSERT_TRUE(fired) << k;
  }
  // Each step that writes or moves can fail: far more than the files.
  EXPECT_GT(failures, 20u);
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
  // x.txt is neither added nor kept now: a file there is kept again.
  writeFile(scene / "x.txt", "present", 1000);
  ASSERT_EQ(0u, installFile(scene / "x.txt", "new", 2000));
  journal.rollback(1);
  EXPECT_EQ("present", readText(scene / "x.txt"));
}

// storeRBFile plans, flushes and keeps in one call; the run batches those
// steps instead.
TEST_F(RollbackTest, StoreKeepsTheOriginalOnceUnderEverySpelling) {
  writeFile(scene / "sub/a.txt", "original bytes\n\x01\x02", 1000, 0640);
  const auto before = snapshot(scene.templateDir());
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, journal.storeRBFile(w(scene / "sub/a.txt")));
  ASSERT_EQ(0u, installFile(scene / "sub/a.txt", "first install", 2000));
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
  ASSERT_EQ(0u, installFile(scene / "new.txt", "added", 2000));
  EXPECT_EQ(0u, journal.storeRBFile(w(scene / "new.txt")));
  EXPECT_EQ("added", readText(scene / "new.txt"));

  journal.rollback(87);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

TEST_F(RollbackTest, DirectoryTreeRecordsOnlyWhatItCreates) {
  makeDirs(scene / "existing");
  ASSERT_EQ(0u, journal.start(target()));
  EXPECT_EQ(0u, journal.makeDirectoryTree(w(scene.templateDir())));
  EXPECT_EQ(0u, journal.makeDirectoryTree(w(scene / "existing/")));
  EXPECT_TRUE(journal.createdDirectories().empty());

  EXPECT_EQ(0u, makeTree(scene / "new/two/"));
  ASSERT_EQ(2u, journal.createdDirectories().size());
  EXPECT_EQ(w(scene / "new"), journal.createdDirectories()[0]);
  EXPECT_EQ(w(scene / "new/two"), journal.createdDirectories()[1]);
  EXPECT_TRUE(isDir(scene / "new/two"));

  EXPECT_EQ(0u, makeTree("/"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, makeTree("relative"));
  writeFile(scene / "file", "x", 1000);
  EXPECT_NE(0u, makeTree(scene / "file/below"));
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
    EXPECT_EQ(0u, makeTree(deep + "/"));
    creations = counter.count();
  }
  {
    FileFaultInjector counter;
    counter.only({FileOp::GetFileStatus});
    EXPECT_EQ(0u, makeTree(deep + "/x"));
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
  EXPECT_EQ(0u, makeTree(scene / "p//q///r"));
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
  ASSERT_EQ(0u, installBatch({{scene / "existing/sub/replaced.txt", "new version", 3000},
                              {scene / "existing/added.txt", "added", 3000},
                              {scene / "fresh/a/b/f.txt", "f", 3000}}));
  EXPECT_EQ("new version", readText(scene / "existing/sub/replaced.txt"));

  EXPECT_EQ(1223u, journal.rollback(1223));
  EXPECT_TRUE(journal.lastUndo().complete);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

TEST_F(RollbackTest, RollbackNeverFollowsALinkNorRemovesUnrecordedFiles) {
  ScratchDir elsewhere;
  writeFile(elsewhere / "precious.txt", "precious", 1000);
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, makeTree(scene / "made"));
  ASSERT_EQ(0u, makeTree(scene / "other"));
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
  ASSERT_EQ(0u, installBatch({{scene / "a.txt", "new a", 2000}, {scene / "b.txt", "new b", 2000}}));
  ASSERT_EQ(0u, makeTree(scene / "made"));
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
  ASSERT_EQ(0u, installFile(scene / "sub/x.txt", "new", 2000));
  ASSERT_EQ(0u, journal.stop());
  EXPECT_TRUE(privateFolders().empty());
  EXPECT_EQ("new", readText(scene / "sub/x.txt"));  // stop keeps the run's result
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
  // The same object's next run rolls back in full although the last one
  // committed before it.
  ASSERT_EQ(0u, journal.start(target()));
  journal.addRBFile(w(scene / "later.txt"));
  ExpectedFile later;
  later.size = 5;
  later.writeSeconds = 2000;
  journal.planExpected(w(scene / "later.txt"), later);
  writeFile(scene / "later.txt", "later", 2000);
  EXPECT_EQ(87u, journal.rollback(87));
  EXPECT_TRUE(journal.lastUndo().complete);
  EXPECT_FALSE(exists(scene / "later.txt"));
}

}  // namespace

// A temporary's name without the number of its run, which tells two runs
// of one process apart.
std::u16string withoutRunNumber(std::u16string name) {
  const size_t pidEnd = name.find(u'-', name.find(u".n8new"));
  const size_t runEnd = name.find(u'-', pidEnd + 1);
  return runEnd == std::u16string::npos ? name : name.erase(pidEnd + 1, runEnd - pidEnd - 1);
}

std::vector<std::u16string> withoutRunNumbers(std::vector<std::u16string> names) {
  for (std::u16string& name : names) name = withoutRunNumber(name);
  return names;
}

// Planning an entry hands the rollback its key; each step then journals
// what it would have found from the entry's path, in a second directory.
TEST_F(RollbackTest, StepsGivenAnEntrysKeyJournalWhatItsPathWould) {
  const std::string other = scene.scratch("other");
  ASSERT_EQ(0, mkdir(other.c_str(), 0755));
  for (const std::string& dir : {scene.templateDir(), other}) writeFile(dir + "/kept.txt", "original", 1000);
  Rollback byKey;
  ASSERT_EQ(0u, journal.start(target()));
  ASSERT_EQ(0u, byKey.start(w(other + "/")));
  uint32_t index = 0;
  for (const std::u16string key : {u"kept.txt", u"top.txt", u"sub/new.txt", u"sub/deep/new.txt", u"kept.txt"}) {
    const std::u16string byPathAt = target() + key, byKeyAt = w(other + "/") + key;
    FileStatus seen, seenThere;
    ASSERT_EQ(0u, link_status(byPathAt, seen));
    ASSERT_EQ(0u, link_status(byKeyAt, seenThere));
    ASSERT_EQ(0u, journal.planDirectoryTree(parent_directory(byPathAt)));
    ASSERT_EQ(0u, byKey.planDirectoryTree(parent_directory(byKeyAt)));
    Rollback::Plan plan, planByKey;
    ASSERT_EQ(0u, journal.planFile(byPathAt, seen, plan));
    ASSERT_EQ(0u, byKey.planFile(byKeyAt, key, seenThere, planByKey));
    EXPECT_EQ(plan, planByKey) << narrow_lib(key);
    if (plan == Rollback::Plan::kAdd) journal.addRBFile(byPathAt);
    if (planByKey == Rollback::Plan::kAdd) byKey.addRBFile(byKeyAt, key);
    const ExpectedFile expected{index, 2000 + index, 0};
    journal.planExpected(byPathAt, expected);
    byKey.planExpectedAt(key, expected);
    const std::u16string temporary = journal.planTemporary(byPathAt, index);
    const std::u16string temporaryByKey = byKey.planTemporaryAt(key, index);
    EXPECT_EQ(withoutRunNumber(temporary.substr(target().size())),
              withoutRunNumber(temporaryByKey.substr(other.size() + 1)));
    ++index;
  }
  ASSERT_EQ(0u, journal.flushJournal());
  ASSERT_EQ(0u, byKey.flushJournal());
  JournalContents journaled, journaledByKey;
  ASSERT_EQ(0u, read_journal(journal.journalPath(), journaled));
  ASSERT_EQ(0u, read_journal(byKey.journalPath(), journaledByKey));
  EXPECT_EQ(journaled.kept, journaledByKey.kept);
  EXPECT_EQ(journaled.added, journaledByKey.added);
  EXPECT_EQ(withoutRunNumbers(journaled.temporaries), withoutRunNumbers(journaledByKey.temporaries));
  EXPECT_EQ(journaled.createdDirectories, journaledByKey.createdDirectories);
  ASSERT_EQ(journaled.expected.size(), journaledByKey.expected.size());
  for (const auto& at : journaled.expected) {
    ASSERT_EQ(journaledByKey.expected.count(at.first), 1u) << narrow_lib(at.first);
    const std::vector<ExpectedFile>& there = journaledByKey.expected.at(at.first);
    ASSERT_EQ(at.second.size(), there.size());
    for (size_t i = 0; i < there.size(); ++i) EXPECT_EQ(at.second[i].writeSeconds, there[i].writeSeconds);
  }
  EXPECT_EQ(journaled.added, (std::vector<std::u16string>{u"top.txt", u"sub/new.txt", u"sub/deep/new.txt"}));
  EXPECT_EQ(journaled.expected.at(u"kept.txt").size(), 2u);
  journal.rollback(87);
  byKey.rollback(87);
  for (const std::string& dir : {scene.templateDir(), other}) {
    EXPECT_EQ("original", readText(dir + "/kept.txt"));
    EXPECT_FALSE(exists(dir + "/sub"));
  }
}
