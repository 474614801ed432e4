// Recovery when the world changed after a run stopped: what it trusts, what
// it refuses, what it keeps of the user's, and a journal cut at every length
// and flipped at every byte.
#include "install/recovery.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "install/install_test_util.h"
#include "install/rollback.h"
#include "install/journal_codec.h"
#include "install/run_record.h"
#include "platform/regular_file.h"

using namespace install_test;

namespace {

std::u16string w(const std::string& text) { return widen_lib(text); }

const int64_t kOld = 1500000000;
const int64_t kKit = 1600000000;

// Copies the tree at `from` to `to` (which must not exist) with modes and
// times; a second name of a file becomes a copy of its own.
void copyTree(const std::string& from, const std::string& to) {
  struct stat status;
  if (lstat(from.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    mkdir(to.c_str(), status.st_mode & 07777);
    for (const std::string& name : entryNames(from)) copyTree(from + "/" + name, to + "/" + name);
  } else if (S_ISLNK(status.st_mode)) {
    char link[4096];
    const ssize_t n = readlink(from.c_str(), link, sizeof link);
    if (n > 0 && symlink(std::string(link, size_t(n)).c_str(), to.c_str()) != 0) return;
  } else {
    fs_test::writeText(to, readText(from));
    chmod(to.c_str(), status.st_mode & 07777);
  }
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

class RecoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    writeFile(scene / "replaced.txt", "original", kOld);
    writeFile(scene / "sub/kept.txt", "the user's own", kOld);
    writeFile(scene.scratch("outside/diary.txt"), "dear diary", kOld);
    before = snapshot(scene.templateDir());
    outsideBefore = snapshot(scene.scratch("outside"));
  }

  std::u16string target() const { return w(scene.templateDir() + "/"); }

  // Writes `path` whole under a new name and renames it into place, as a
  // run does (the original keeps its inode in the backup folder).
  void place(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    writeFile(temporary, content, kKit);
    ASSERT_EQ(0, rename(temporary.c_str(), path.c_str()));
  }

  // A run that replaced replaced.txt and added new/added.txt, then stopped
  // (its object gone without stop or rollback, as after a kill).
  void stoppedRun() {
    Rollback run;
    ASSERT_EQ(0u, run.start(target()));
    FileStatus seen;
    Rollback::Plan plan;
    ASSERT_EQ(0u, link_status(w(scene / "replaced.txt"), seen));
    ASSERT_EQ(0u, run.planFile(w(scene / "replaced.txt"), seen, plan));
    ASSERT_EQ(Rollback::Plan::kKeep, plan);
    ExpectedFile expected;
    expected.size = 11;  // "new content"
    expected.writeSeconds = kKit;
    run.planExpected(w(scene / "replaced.txt"), expected);
    ASSERT_EQ(0u, run.planDirectoryTree(w(scene / "new")));
    ASSERT_EQ(0u, link_status(w(scene / "new/added.txt"), seen));
    ASSERT_EQ(0u, run.planFile(w(scene / "new/added.txt"), seen, plan));
    ASSERT_EQ(Rollback::Plan::kAdd, plan);
    run.addRBFile(w(scene / "new/added.txt"));
    expected.size = 5;  // "added"
    run.planExpected(w(scene / "new/added.txt"), expected);
    ASSERT_EQ(0u, run.flushJournal());
    bool linked = false;
    ASSERT_EQ(0u, run.keepOriginal(w(scene / "replaced.txt"), &linked));
    ASSERT_EQ(0u, run.syncKeptOriginals());
    ASSERT_EQ(0u, run.createPlannedTree(w(scene / "new")));
    place(scene / "replaced.txt", "new content");
    place(scene / "new/added.txt", "added");
    hidden = narrow_lib(run.privateFolder());
  }

  void expectOutsideUntouched() {
    EXPECT_EQ("", differences(outsideBefore, snapshot(scene.scratch("outside"))));
  }

  // Many recoveries with their syncs: in memory where there is such a place.
  InstallScene scene{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
  std::map<std::string, std::string> before, outsideBefore;
  std::string hidden;
};

TEST_F(RecoveryTest, AStoppedRunIsPutBackOnceAndItsRecordGoes) {
  stoppedRun();
  ASSERT_TRUE(isDir(hidden));
  ASSERT_EQ(1u, leftInHome(scene.homeDir()).size());
  const std::vector<RecoveryNotice> notices = recover_stopped_installations();
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(RecoveryNotice::Kind::kRestored, notices[0].kind);
  EXPECT_TRUE(notices[0].paths.empty());
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
  EXPECT_TRUE(recover_stopped_installations().empty());
}

// The user went on working before the next start: an added file they
// changed stays, a replaced file they changed is kept under a name of its
// own while the original comes back, and the notice names both.
TEST_F(RecoveryTest, FilesChangedAfterTheStopAreKeptAndNamed) {
  stoppedRun();
  writeFile(scene / "new/added.txt", "the user wrote here", kKit + 999);
  writeFile(scene / "replaced.txt.x", "edited", kKit + 999);
  ASSERT_EQ(0, rename((scene / "replaced.txt.x").c_str(), (scene / "replaced.txt").c_str()));
  writeFile(scene / "new/theirs.txt", "a file of their own in the run's folder", kKit);
  const std::vector<RecoveryNotice> notices = recover_stopped_installations();
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(RecoveryNotice::Kind::kRestored, notices[0].kind);
  ASSERT_EQ(2u, notices[0].paths.size());
  EXPECT_EQ(w(scene / "new/added.txt"), notices[0].paths[0]);
  const std::string keptAs = narrow_lib(notices[0].paths[1]);
  EXPECT_EQ(0u, keptAs.find(scene / "replaced.txt.~kept-")) << keptAs;
  EXPECT_EQ('~', keptAs.back());
  EXPECT_EQ("edited", readText(keptAs));
  EXPECT_EQ("original", readText(scene / "replaced.txt"));
  EXPECT_EQ(kOld, modificationTime(scene / "replaced.txt"));
  EXPECT_EQ("the user wrote here", readText(scene / "new/added.txt"));
  EXPECT_EQ("a file of their own in the run's folder", readText(scene / "new/theirs.txt"));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
  const std::u16string text = recovery_notice_text(notices[0]);
  EXPECT_NE(std::u16string::npos, text.find(u"Files changed after the interruption were kept:"));
  EXPECT_NE(std::u16string::npos, text.find(notices[0].paths[1]));
}

// Moved away (or unmounted) after the stop: nothing is done and the record
// stays; the next run into the moved folder puts it right, wherever it is,
// and the record then goes quietly.
TEST_F(RecoveryTest, AMovedDirectoryIsPendingUntilItIsUsedWhereItIs) {
  stoppedRun();
  const std::string moved = scene.scratch("moved");
  ASSERT_EQ(0, rename(scene.templateDir().c_str(), moved.c_str()));
  // A new folder under the old name is another directory.
  mkdir(scene.templateDir().c_str(), 0755);
  writeFile(scene / "replaced.txt", "someone else's", kOld);
  const auto other = snapshot(scene.templateDir());
  for (int start = 0; start < 2; ++start) {
    const std::vector<RecoveryNotice> notices = recover_stopped_installations();
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(RecoveryNotice::Kind::kPending, notices[0].kind);
    EXPECT_EQ(target(), notices[0].directory);
    EXPECT_NE(std::u16string::npos, recovery_notice_text(notices[0]).find(target()));
  }
  EXPECT_EQ("", differences(other, snapshot(scene.templateDir())));
  EXPECT_EQ(1u, leftInHome(scene.homeDir()).size());

  const std::vector<RecoveryNotice> there = recover_directory(w(moved));
  ASSERT_EQ(1u, there.size());
  EXPECT_EQ(RecoveryNotice::Kind::kRestored, there[0].kind);
  EXPECT_EQ("", differences(before, snapshot(moved)));
  EXPECT_TRUE(recover_stopped_installations().empty());
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
  EXPECT_EQ("", differences(other, snapshot(scene.templateDir())));
}

// Another user's folder, a folder others may write, a journal that is a
// link or is writable by others, a journal naming another directory (a
// copy): none is acted on. Folders that are not the user's are passed over
// without a word; the user's own that cannot be trusted are "cannot tell".
TEST_F(RecoveryTest, OnlyTheUsersOwnJournalForThisDirectoryIsActedOn) {
  stoppedRun();
  const std::string journal = hidden + "journal";
  struct stat journalStatus;
  ASSERT_EQ(0, stat(journal.c_str(), &journalStatus));
  const mode_t journalMode = journalStatus.st_mode & 07777;
  // The changes below touch the folder's own time; nothing else may change.
  auto withoutFolderTime = [&](std::map<std::string, std::string> nodes) {
    nodes.erase(hidden.substr(scene.templateDir().size() + 1, hidden.size() - scene.templateDir().size() - 2));
    return nodes;
  };
  const auto stopped = withoutFolderTime(snapshot(scene.templateDir()));
  struct Change {
    const char* what;
    std::function<void()> make, undo;
    bool told;
  };
  const std::vector<Change> changes = {
      {"another owner", [&] { ASSERT_EQ(0, chown(hidden.c_str(), geteuid() + 1, getegid())); },
       [&] { ASSERT_EQ(0, chown(hidden.c_str(), geteuid(), getegid())); }, false},
      {"folder writable by others", [&] { chmod(hidden.c_str(), 0777); },
       [&] { chmod(hidden.c_str(), 0700); }, false},
      {"journal writable by others", [&] { chmod(journal.c_str(), 0666); },
       [&] { chmod(journal.c_str(), journalMode); }, true},
      {"journal of another owner",
       [&] { ASSERT_EQ(0, chown(journal.c_str(), geteuid() + 1, getegid())); },
       [&] { ASSERT_EQ(0, chown(journal.c_str(), geteuid(), getegid())); }, true},
      {"journal is a link",
       [&] {
         ASSERT_EQ(0, rename(journal.c_str(), scene.scratch("outside/j").c_str()));
         ASSERT_EQ(0, symlink(scene.scratch("outside/j").c_str(), journal.c_str()));
       },
       [&] {
         unlink(journal.c_str());
         ASSERT_EQ(0, rename(scene.scratch("outside/j").c_str(), journal.c_str()));
       },
       true},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    change.make();
    const std::vector<RecoveryNotice> notices = recover_directory(target());
    if (change.told) {
      ASSERT_EQ(1u, notices.size());
      EXPECT_EQ(RecoveryNotice::Kind::kCannotTell, notices[0].kind);
    } else {
      EXPECT_TRUE(notices.empty());
    }
    change.undo();
    EXPECT_EQ("", differences(stopped, withoutFolderTime(snapshot(scene.templateDir()))));
  }
  // A copy of the directory holds a journal that names the original.
  ASSERT_EQ(0, system(("cp -a '" + scene.templateDir() + "' '" + scene.scratch("copy") + "'").c_str()));
  const auto copied = snapshot(scene.scratch("copy"));
  const std::vector<RecoveryNotice> notices = recover_directory(w(scene.scratch("copy")));
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(RecoveryNotice::Kind::kCannotTell, notices[0].kind);
  EXPECT_EQ("", differences(copied, snapshot(scene.scratch("copy"))));
  // The original itself is still put back.
  ASSERT_EQ(1u, recover_stopped_installations().size());
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

// A run that makes fresh/deeper under a staging name beside "fresh" and
// writes fresh/deeper/a.txt there, then stops; with `placed`, after the
// staging folder took its name. Returns the staging folder's path.
std::string stoppedStagingRun(InstallScene& scene, bool placed) {
  Rollback run;
  run.stageNewFolders();
  EXPECT_EQ(0u, run.start(w(scene.templateDir() + "/")));
  const std::u16string file = w(scene / "fresh/deeper/a.txt");
  EXPECT_EQ(0u, run.planDirectoryTree(w(scene / "fresh/deeper")));
  FileStatus seen;
  Rollback::Plan plan;
  EXPECT_EQ(0u, run.planFile(file, seen, plan));
  run.addRBFile(file);
  ExpectedFile expected;
  expected.size = 5;
  expected.writeSeconds = kKit;
  run.planExpected(file, expected);
  EXPECT_EQ(0u, run.flushJournal());
  EXPECT_EQ(0u, run.createPlannedTree(w(scene / "fresh/deeper")));
  std::u16string place;
  EXPECT_TRUE(run.stagedPlaceOf(file, place));
  writeFile(narrow_lib(place), "added", kKit);
  const std::string staging = narrow_lib(place.substr(0, place.size() - std::u16string(u"/deeper/a.txt").size()));
  std::u16string failed;
  if (placed) {
    EXPECT_EQ(0u, run.placeStagedFolders(failed));
  }
  return staging;
}

// A folder the run made under a staging name: still under that name, it
// goes whole, but only while it is a real folder of the user's own (the
// name may be another's by the next start, or a link); once renamed, it is
// undone file by file, and a file the user put in it keeps it.
TEST_F(RecoveryTest, AFolderUnderItsStagingNameGoesWholeOnlyWhileItIsTheUsersOwn) {
  std::string staging = stoppedStagingRun(scene, false);
  ASSERT_EQ(scene.templateDir() + "/.n8new", staging.substr(0, scene.templateDir().size() + 7));
  struct stat status;
  ASSERT_EQ(0, lstat(staging.c_str(), &status));
  EXPECT_EQ(0700u, status.st_mode & 07777);
  EXPECT_FALSE(exists(scene / "fresh"));
  EXPECT_EQ("added", readText(staging + "/deeper/a.txt"));
  ASSERT_EQ(1u, recover_stopped_installations().size());
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));

  // Another user's folder by that name, and a link to a folder outside;
  // the test's own removal of them changes the directory's time.
  auto withoutItsTime = [](std::map<std::string, std::string> nodes) {
    nodes.erase(".");
    return nodes;
  };
  staging = stoppedStagingRun(scene, false);
  ASSERT_EQ(0, chown(staging.c_str(), geteuid() + 1, getegid()));
  ASSERT_EQ(1u, recover_stopped_installations().size());
  EXPECT_EQ("added", readText(staging + "/deeper/a.txt"));
  testkit::removeTree(staging);
  EXPECT_EQ("", differences(withoutItsTime(before), withoutItsTime(snapshot(scene.templateDir()))));
  staging = stoppedStagingRun(scene, false);
  testkit::removeTree(staging);
  ASSERT_EQ(0, symlink(scene.scratch("outside").c_str(), staging.c_str()));
  ASSERT_EQ(1u, recover_stopped_installations().size());
  expectOutsideUntouched();
  ASSERT_EQ(0, unlink(staging.c_str()));
  EXPECT_EQ("", differences(withoutItsTime(before), withoutItsTime(snapshot(scene.templateDir()))));

  // Renamed into place: the user's own file in it keeps its folders.
  staging = stoppedStagingRun(scene, true);
  EXPECT_FALSE(exists(staging));
  EXPECT_EQ("added", readText(scene / "fresh/deeper/a.txt"));
  ASSERT_EQ(0, lstat((scene / "fresh").c_str(), &status));
  EXPECT_EQ(0777u & ~process_umask(), status.st_mode & 07777);
  writeFile(scene / "fresh/mine.txt", "the user's", kOld);
  ASSERT_EQ(1u, recover_stopped_installations().size());
  EXPECT_FALSE(exists(scene / "fresh/deeper"));
  EXPECT_EQ("the user's", readText(scene / "fresh/mine.txt"));
}

// A journal written by hand through the writer: a key reaching outside the
// directory, or a record type this reader does not know, makes recovery
// say "cannot tell" and leave everything as it is.
TEST_F(RecoveryTest, KeysOutsideTheDirectoryAndUnknownRecordsLeaveEverythingAlone) {
  FileStatus status;
  ASSERT_EQ(0u, file_status(w(scene.templateDir()), status));
  const std::string folder = scene / ".n8stp0";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  JournalHeader header;
  header.runId = 7;
  header.target = identity_of(status);
  header.hiddenName = u".n8stp0";
  header.targetTimes = status.times;
  const std::vector<std::pair<JournalRecordType, std::u16string>> bad = {
      {JournalRecordType::kAdded, u"../outside/diary.txt"},
      {JournalRecordType::kAdded, u"sub/../../outside/diary.txt"},
      {JournalRecordType::kAdded, u"/etc/passwd"},
      {JournalRecordType::kAdded, u"sub//kept.txt"},
      {JournalRecordType::kKept, u".n8stp0/journal"},
      {JournalRecordType::kTemporary, u"sub/kept\x1b[2J.txt"},
      {JournalRecordType(99), u"sub/kept.txt"},
  };
  // Writes a journal of one batch and expects recovery to leave everything.
  auto expectCannotTell = [&](const std::function<void(JournalWriter&)>& records) {
    testkit::removeTree(folder + "/journal");
    {
      JournalWriter writer;
      ASSERT_EQ(0u, writer.create(w(folder + "/journal"), header));
      records(writer);
      ASSERT_EQ(0u, writer.flush());
    }
    const auto stopped = snapshot(scene.templateDir());
    const std::vector<RecoveryNotice> notices = recover_directory(target());
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(RecoveryNotice::Kind::kCannotTell, notices[0].kind);
    EXPECT_EQ("", differences(stopped, snapshot(scene.templateDir())));
    expectOutsideUntouched();
    // A run into the directory refuses to go on over it.
    Rollback run;
    EXPECT_EQ(uint32_t(ERROR_FILE_CORRUPT), run.start(target()));
  };
  for (const auto& record : bad) {
    SCOPED_TRACE(narrow_lib(record.second));
    expectCannotTell([&](JournalWriter& writer) {
      writer.record(JournalRecordType::kAdded, u"sub/kept.txt");
      writer.record(record.first, record.second);
    });
  }
  // A staging name is one plain name of the wizard's own, beside its folder.
  for (const std::u16string& name : {std::u16string(u"outside"), std::u16string(u".n8new"),
                                     std::u16string(u".n8new1/../../outside"), std::u16string(u".."),
                                     std::u16string(u".n8stp0")}) {
    SCOPED_TRACE(narrow_lib(name));
    expectCannotTell([&](JournalWriter& writer) {
      writer.record(JournalRecordType::kCreatedDirectory, u"sub");
      writer.stagedDirectory(u"sub", name);
    });
  }
}

// The journal cut at every length and with every byte flipped: recovery
// never crashes, never touches anything outside the directory or a file the
// run did not write, and either puts back what its whole batches say or
// says it cannot tell.
TEST_F(RecoveryTest, AJournalCutOrFlippedAnywhereNeverHarmsWhatIsNotTheRuns) {
  stoppedRun();
  const std::string stoppedCopy = scene.scratch("stopped");
  copyTree(scene.templateDir(), stoppedCopy);
  const std::string journal = readText(hidden + "journal");
  ASSERT_GT(journal.size(), 100u);
  const std::string relativeJournal = hidden.substr(scene.templateDir().size() + 1) + "journal";
  auto reset = [&](const std::string& bytes) {
    // The directory itself stays: the journal names it by identity.
    for (const std::string& name : entryNames(scene.templateDir()))
      testkit::removeTree(scene / name);
    for (const std::string& name : entryNames(stoppedCopy))
      copyTree(stoppedCopy + "/" + name, scene / name);
    const std::string path = scene / relativeJournal;
    ASSERT_TRUE(fs_test::writeText(path, bytes));
    chmod(path.c_str(), 0600);
  };
  uint64_t tried = 0, cannotTell = 0;
  auto check = [&](const std::string& bytes, const std::string& context) {
    reset(bytes);
    const std::vector<RecoveryNotice> notices = recover_directory(target());
    ++tried;
    for (const RecoveryNotice& notice : notices) {
      if (notice.kind == RecoveryNotice::Kind::kCannotTell) ++cannotTell;
      EXPECT_TRUE(notice.kind == RecoveryNotice::Kind::kCannotTell ||
                  notice.kind == RecoveryNotice::Kind::kRestored)
          << context;
    }
    EXPECT_EQ("the user's own", readText(scene / "sub/kept.txt")) << context;
    const std::string replaced = readText(scene / "replaced.txt");
    EXPECT_TRUE(replaced == "original" || replaced == "new content") << context;
    expectOutsideUntouched();
  };
  for (size_t length = 0; length < journal.size(); ++length)
    check(journal.substr(0, length), "cut at " + std::to_string(length));
  for (size_t at = 0; at < journal.size(); ++at) {
    std::string flipped = journal;
    flipped[at] = char(flipped[at] ^ 0x5A);
    check(flipped, "flipped at " + std::to_string(at));
  }
  std::printf("journal of %zu bytes: %llu recoveries, %llu cannot tell\n", journal.size(),
              (unsigned long long)tried, (unsigned long long)cannotTell);
  EXPECT_GT(cannotTell, 0u);
}

// A record of an earlier version, whose originals lay in a backup folder of
// the temporary directory: named once with that folder, then dropped;
// nothing else is touched. A file that only looks like such a record stays.
TEST_F(RecoveryTest, AnEarlierVersionsRecordIsNamedOnceAndNothingIsTouched) {
  ByteWriter out;
  out.append("N8RN");
  out.u32(1);
  out.u32(4242);
  out.string(target());
  out.string(w(scene.tempDir() + "/n8stp0/"));
  out.times(FileTimes());
  out.u32(0);
  out.u32(crc_of(out.bytes().data(), out.size()));
  const std::string record = scene.homeDir() + "/.ovn8run-4242-0";
  ASSERT_TRUE(fs_test::writeText(record, out.bytes()));
  writeFile(scene.tempDir() + "/n8stp0/replaced.txt", "the only copy", kOld);
  const std::string lookalike = scene.homeDir() + "/.ovn8run-notes";
  ASSERT_TRUE(fs_test::writeText(lookalike, "N8RN and some notes"));
  const auto temp = snapshot(scene.tempDir());
  const std::vector<RecoveryNotice> notices = recover_stopped_installations();
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(RecoveryNotice::Kind::kEarlierVersion, notices[0].kind);
  EXPECT_EQ(target(), notices[0].directory);
  EXPECT_EQ(w(scene.tempDir() + "/n8stp0/"), notices[0].keptIn);
  EXPECT_FALSE(exists(record));
  EXPECT_EQ("N8RN and some notes", readText(lookalike));
  EXPECT_EQ("", differences(temp, snapshot(scene.tempDir())));
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(recover_stopped_installations().empty());
}

}  // namespace
