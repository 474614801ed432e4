// The rollback journal of an installation run.
//
// Every run keeps what it needs to undo itself in one private folder inside
// the template directory (".n8stp" followed by a number, mode 0700, locked
// for the run): the journal, and beside it the originals of the files the
// run replaces ("b/" mirrors the directory). The folder lies on the
// directory's file system, so keeping and restoring an original is a rename
// (or a second name) that needs no free space, and it moves with the
// directory and survives a reboot. Every directory and every file the run
// creates is recorded.
//
// What the run is about to do is written to the journal (journal_file.h) in
// batches that are synced before their steps are taken; a run record in
// the user's state folder (run_record.h) names the directory so that a
// start finds it. A successful run syncs the installed files, commits the
// journal and only then deletes its folder (stop); a failed or cancelled
// one puts the originals back and removes what it created (rollback), so
// that the directory is as it was. A file the run wrote that was changed
// since is never deleted or overwritten: it is kept under a visible name.
// A run that was killed is put back the same way by the next one that uses
// the directory (recover, see recovery.h).
//
// The run holds the directory's lock (TargetLock) from start to its end. A
// Rollback is used by the worker thread of its run alone.
#ifndef OVN8_INSTALL_ROLLBACK_H_
#define OVN8_INSTALL_ROLLBACK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "install/journal_file.h"
#include "install/journal_keys.h"
#include "install/run_record.h"
#include "install/target_lock.h"
#include "platform/file_system.h"

// What undoing a run achieved.
struct UndoOutcome {
  // Every original is back and the run's private folder is gone.
  bool complete = true;
  // Files the run wrote that were changed since, kept where they now are
  // (full paths): under their own name where the run had added them, under
  // "<name>.~kept-<date>~" where an original came back to the name.
  std::vector<std::u16string> keptChanges;
  // Originals that could not be put back (full paths of their places).
  std::vector<std::u16string> notRestored;
  // The run's private folder, which keeps those originals (ends with "/").
  std::u16string keptIn;
};

class Rollback {
 public:
  Rollback() = default;
  ~Rollback();
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;

  // Opens the journal for one run into `target` (which ends with a
  // separator): locks the directory, makes its missing levels (after a run
  // record names them) and puts right what a stopped run left in it. The
  // run record, the private folder and the journal follow when the run
  // first has something to write (flushJournal). An empty target opens a
  // record without a folder. Returns 0 or an error number (33 when another
  // installation holds the directory or one around it).
  uint32_t start(const std::u16string& target);
  // Puts the installed files and their folders on disk; stop then commits.
  uint32_t syncInstalled();
  // Ends a successful run: syncs (unless syncInstalled did), commits the
  // journal, then deletes the private folder and the run record. An error
  // (nothing deleted) leaves the run for rollback.
  uint32_t stop();
  // Told during a rollback how many of its steps (files to remove or put
  // back) are left of how many; the hook runs on the rolling-back thread.
  void setProgressHook(std::function<void(uint32_t left, uint32_t total)> hook) {
    progressHook_ = std::move(hook);
  }
  // Undoes the run: deletes the temporary and added files, puts the kept
  // originals back, deletes the private folder and the created directories
  // and puts the directories' times back. An original that cannot be put
  // back stays in the private folder, with the journal and the run record,
  // for the next start to try again (see lastUndo). Returns `code`.
  uint32_t rollback(uint32_t code);
  // When start failed on the user's state folder rather than on the
  // directory: that folder's path; otherwise empty.
  const std::u16string& startFailurePath() const { return startFailurePath_; }
  // What the last rollback or recover achieved.
  const UndoOutcome& lastUndo() const { return undone_; }

  // Puts back a stopped run from its journal, which lies in `hiddenName`
  // inside `target` (ends with "/"); the caller holds the directory's lock
  // and has checked that the journal is the user's and names this
  // directory. After a commit only the private folder is deleted. True when
  // the directory was rolled back (the run had begun to change it).
  // `recordPath`, when not empty, is the user's run record of that run,
  // `record` its content; it is deleted once the private folder is gone.
  bool recover(const std::u16string& target, const std::u16string& hiddenName,
               const JournalContents& journal, const std::u16string& recordPath = u"",
               const RunRecord* record = nullptr);

  // Moves the file at `path` (below the target directory) to its mirrored
  // place in the backup folder, after the journal names it. 2 when no file
  // stands there (the caller then records the path with addRBFile); 0 when
  // this run already keeps the file's original or added the file itself;
  // otherwise an error number. `seen`, when given, is the status of `path`
  // (not following a link) that the caller took just before.
  uint32_t storeRBFile(const std::u16string& path, const FileStatus* seen = nullptr);
  // Makes sure `dir` exists, creating and recording the missing levels
  // (outer ones first). 3 when a level has no parent.
  uint32_t makeDirectoryTree(const std::u16string& dir);
  void addRBFile(const std::u16string& path);
  // The same for a path below the target whose key the caller has.
  void addRBFile(const std::u16string& path, const std::u16string& key);
  // Forgets the first added file that names the same file as `path`.
  void removeRBFile(const std::u16string& path);
  void addRBCatalog(const std::u16string& path);

  // The batched steps of the installer. Plans are recorded in the journal
  // and in memory; nothing changes on disk until flushJournal has put them
  // there.
  enum class Plan { kKeep, kAdd, kAgain };
  // What writing `path`, whose status (not following a link) is `seen`,
  // means: its original is to be kept (recorded), nothing stands there (the
  // caller records it with addRBFile), or this run has already kept or
  // added it. A name the wizard uses for its own files is refused (123).
  uint32_t planFile(const std::u16string& path, const FileStatus& seen, Plan& plan);
  // The same for a caller that has `path`'s key already (what keyOf gives,
  // checked not to be a name of the wizard's own): planning an entry takes
  // it once instead of once for every step.
  uint32_t planFile(const std::u16string& path, const std::u16string& key, const FileStatus& seen,
                    Plan& plan);
  // Whether `path` lies in one of the wizard's own places below the target
  // (a run's private folder, a temporary name, the state folder).
  bool isOwnPath(const std::u16string& path) const;
  // The same for `key`, a path relative to the target as relative_path_key
  // gives it.
  bool isOwnName(const std::u16string& key) const;
  // Records what the run is about to write at `path`, so that a file
  // changed after it was written is told from the run's own.
  void planExpected(const std::u16string& path, const ExpectedFile& file);
  void planExpectedAt(const std::u16string& key, const ExpectedFile& file);
  // Records the missing levels of `dir` as to be created.
  uint32_t planDirectoryTree(const std::u16string& dir);
  // From now on, a folder planned where an existing one holds it is made
  // under a staging name beside it (mode 0700), the levels and files
  // planned below it are made inside that folder under their own names,
  // and placeStagedFolders gives it its name at the end: one rename puts a
  // whole new tree in place, and until then a rollback deletes it whole.
  void stageNewFolders() { stagingNewFolders_ = true; }
  // Whether the file planned at `path` is written in a staging folder for
  // now (one not yet renamed).
  bool isStaged(const std::u16string& path) const { return stagingFolderOfFile(path) != kNotStaged; }
  // Where the file planned at `path` is written for now: inside its
  // staging folder (true, `place` set), or at `path` itself (false).
  bool stagedPlaceOf(const std::u16string& path, std::u16string& place) const;
  // Renames every staging folder made to its folder's name (never over
  // anything that appeared there meanwhile), with the mode a new folder
  // gets. On failure, `failedPath` names the folder that could not be put
  // in place.
  uint32_t placeStagedFolders(std::u16string& failedPath);
  // A new hidden name beside `path` for writing entry `index`, recorded.
  std::u16string planTemporary(const std::u16string& path, uint32_t index);
  // The same beside the file whose key is `key`.
  std::u16string planTemporaryAt(const std::u16string& key, uint32_t index);
  uint32_t flushJournal();
  // Whether the run plans (or planned) to make the directory `path`.
  bool isPlannedDirectory(const std::u16string& path) const;
  bool plansDirectories() const { return !plannedDirectories_.empty(); }
  // Creates the planned levels of `dir`.
  uint32_t createPlannedTree(const std::u16string& dir);
  // Keeps the planned original at `path` in the backup folder. With
  // `linked`, the original may instead stay where it is with a second name
  // in the backup folder (*linked true); the caller then replaces it.
  uint32_t keepOriginal(const std::u16string& path, bool* linked = nullptr);
  // Puts the names keepOriginal gave since the last call on disk: no
  // original is replaced before its kept name would survive a power cut.
  uint32_t syncKeptOriginals();
  // The oldest planned temporary still to be placed has been renamed to its
  // final name: nothing is left under it for a rollback to delete.
  void temporaryPlaced();
  // Something stands under the planned temporary name `temporary`. A file
  // of this user's there was left by an ended process of the same number
  // and is deleted; anything else (another user's file, folder, FIFO or link
  // in a shared folder) is left alone, and `temporary` becomes a fresh name
  // nobody can take beforehand, recorded and on disk before it is used.
  uint32_t freeTemporaryName(std::u16string& temporary);

  // Plans setting the time of the file at `path`, whose content is the
  // entry's already and whose status is `seen`, to `expected`'s: its times
  // before are recorded and put back by a rollback while the file is still
  // as the run left it.
  uint32_t planTimeUpdate(const std::u16string& path, const FileStatus& seen,
                      const ExpectedFile& expected);
  // Writes `bytes` as the file `path` in the directory's control folder
  // (which the run makes, mode 0700, when missing) as one more file of the
  // run: its original kept, under a temporary name first. The control
  // folder is refused as a kit entry's place, so only this reaches it.
  uint32_t placeControlFile(const std::u16string& path, const std::string& bytes);

  // Uninstallation. Plans removing the file at `path` (status `seen`): its
  // original is kept as a replaced file's is, so that a rollback brings it
  // back. ERROR_LINKED_FOLDER when a level on its way is a link.
  uint32_t planRemoval(const std::u16string& path, const FileStatus& seen);
  // Plans removing the folder `dir` (status `seen`) once it is empty
  // (deepest first): a rollback makes it again before its files come back.
  void planRemovedDirectory(const std::u16string& dir, const FileStatus& seen);
  // After the journal is on disk: keeps the original of a planned removal
  // and takes the file from its place.
  uint32_t removeKeptFile(const std::u16string& path);

  // The backup folder (ends with "/"; empty when none).
  const std::u16string& backupDirectory() const { return record_.backup; }
  // The run's private folder (ends with "/"; empty when none).
  const std::u16string& privateFolder() const { return record_.hidden; }
  const std::vector<std::u16string>& createdDirectories() const {
    return record_.createdDirectories;
  }
  // The files recorded as added, as full paths.
  std::vector<std::u16string> addedFiles() const;
  const std::u16string& journalPath() const { return journal_.path(); }
  const std::u16string& recordPath() const { return runRecord_.path(); }

 private:
  struct DirectoryTimes {
    std::u16string path;
    FileTimes times;
  };
  struct Record {
    std::u16string target;
    std::u16string hidden;      // the private folder, ends with "/"
    std::u16string backup;      // hidden + "b/"
    std::u16string hiddenName;  // ".n8stp<N>"
    // Levels of the target itself that the run made, outer first.
    std::vector<std::u16string> createdLevels;
    std::vector<std::u16string> createdDirectories;
    // Files the run wrote where none stood: those below the target by their
    // key, any others by their full path.
    JournalKeys addedKeys;
    std::vector<std::u16string> addedElsewhere;
    // Files whose original the run keeps in the backup folder, by key.
    JournalKeys backedUpKeys;
    std::vector<std::u16string> temporaries;
    // The first this many temporaries have become installed files.
    size_t placedTemporaries = 0;
    // What the run may have written at each key (an entry that comes twice
    // may have been written in either version): in the order planned, and
    // indexed by key only when an undo asks (most runs never do).
    std::vector<std::pair<std::u16string, ExpectedFile>> plannedExpected;
    std::unordered_map<std::u16string, std::vector<ExpectedFile>> expected;
    size_t indexedExpected = 0;
    // Folders the run made under a staging name: their keys and those
    // names (a folder renamed after its first name was taken has two).
    std::vector<std::pair<std::u16string, std::u16string>> stagedFolders;
    // Folders an uninstallation removes (deepest first) and their modes.
    std::vector<std::pair<std::u16string, uint32_t>> removedDirectories;
    // Files whose time alone the run sets, with their times before.
    std::vector<std::pair<std::u16string, FileTimes>> retimedFiles;
    // Pre-existing directories whose listing the run changes, with their
    // times before the first change; a rollback puts the times back.
    std::vector<DirectoryTimes> touchedDirectories;
    std::unordered_set<std::u16string> touchedKeys;
    bool haveTargetTimes = false;
    FileTimes targetTimes;
  };

  void reset(const std::u16string& target);
  bool keyOf(const std::u16string& path, std::u16string& key) const;
  std::u16string temporaryName(uint32_t index) const;
  bool journalKeyOf(const std::u16string& path, std::u16string& key) const;
  void journalRecord(JournalRecordType type, const std::u16string& path);
  uint32_t makeMissingLevels();
  uint32_t openJournal();
  uint32_t writeRunRecord(const RunRecord& run);
  uint32_t claimPrivateFolder(RunRecord& run);
  void findStateFolderKey();
  uint32_t makeBackupDirectoryTree(const std::u16string& dir);
  uint32_t makeTree(const std::u16string& dir, std::unordered_set<std::u16string>& ready);
  uint32_t walkUnlessReady(const std::u16string& path, std::unordered_set<std::u16string>& ready,
                           uint32_t (Rollback::*walk)(const std::u16string&));
  uint32_t ensureTree(const std::u16string& dir);
  uint32_t planTree(const std::u16string& dir);
  // Shortens `level` to the deepest level that is a folder or is planned
  // (the disk's root at the latest). While making the tree, levels still to
  // be made are passed without a look; while planning it, anything other
  // than a folder in the way is an error at once.
  uint32_t climbToExistingLevel(std::u16string& level, bool planning);
  void rememberDirectoryTimes(const std::u16string& dir);
  void restoreDirectoryTimes();
  void undo();
  void removeStagingFolders();
  void removeAddedFiles();
  void restoreKeptOriginals();
  void restoreFileTimes();
  void remakeRemovedDirectories();
  // planFile for a key already checked: what writing it means.
  void planKey(const std::u16string& path, const std::u16string& key, const FileStatus& seen,
               Plan& plan);
  uint32_t writeControlTemporary(const std::u16string& temporary, const std::string& bytes,
                                 FileStatus& written);
  // Whether the file at `path` is one the run may have written at `key`.
  bool isRunsOwnFile(const std::u16string& key, const FileStatus& found);
  // Whether every level between the target and `key` is a real folder, so
  // that acting on the key cannot reach outside the target through a link.
  bool liesPlainlyInside(const std::u16string& key);
  // ERROR_LINKED_FOLDER when a level between the target and `key` is a
  // link; levels still missing are the run's to make.
  uint32_t checkLevelsOnTheWay(const std::u16string& key);
  uint32_t keepChangedFile(const std::u16string& path);
  void finish(bool committed);
  // Notes in the run record that the run has been undone (before its
  // private folder goes).
  void markRolledBack();
  void removeCreatedLevels();
  void restoreTargetTimes();
  uint32_t flushTargetListing();
  void removeCreatedDirectory(const std::u16string& dir);
  // A folder planned to be made under a staging name: its full path and
  // that name's.
  struct StagingFolder {
    std::u16string path;
    std::u16string staging;
    bool made = false;
    bool placed = false;
  };
  static const size_t kNotStaged = ~size_t(0);
  // The staging folder the planned folder `dir` (no trailing separator)
  // lies in, or kNotStaged.
  size_t stagingFolderOf(const std::u16string& dir) const;
  size_t stagingFolderOfFile(const std::u16string& path) const;
  // `path`, below the folder of staging folder `staged`, inside that one.
  std::u16string placeInStagingFolder(size_t staged, const std::u16string& path) const;
  size_t planStagingFolder(const std::u16string& dir);
  uint32_t makeStagingFolder(StagingFolder& folder);
  // Leaves out of the record a folder found made by someone else.
  void forgetCreatedTree(const std::u16string& dir);
  void releaseBackupLock();
  void undoStepDone();

  Record record_;
  TargetLock lock_;
  // Open on the private folder, holding its lock; private to the user
  // (0700) as the folder holds copies of the user's files.
  HANDLE backupLock_ = INVALID_HANDLE_VALUE;
  // The directories (and backup directories) made sure of in this run, in
  // the form they were given: a kit's entries need not come folder by
  // folder.
  std::unordered_set<std::u16string> readyDirectories_;
  std::unordered_set<std::u16string> readyBackupDirectories_;
  // The directories planned, complete once their planned levels are made;
  // forgotten at every journal flush, so that each batch looks again.
  std::unordered_set<std::u16string> plannedReady_;
  bool stagingNewFolders_ = false;
  std::vector<StagingFolder> stagingFolders_;
  // Every planned level below a staging folder's folder (itself included),
  // to the index of that folder.
  std::unordered_map<std::u16string, size_t> stagedLevels_;
  // Levels the run planned to make, and those of them not made yet.
  std::unordered_set<std::u16string> plannedDirectories_;
  std::unordered_set<std::u16string> pendingDirectories_;
  // Folders of the backup tree that got a name since the last sync.
  std::unordered_set<std::u16string> unsyncedBackupFolders_;
  // Levels below the target found to be real folders (while planning, and
  // again during an undo).
  std::unordered_set<std::u16string> plainLevels_;
  // The folder (a key, never empty) whose levels were checked last: a
  // kit's entries come folder by folder.
  std::u16string checkedFolder_;
  // Every folder whose levels were checked (they are not looked at again).
  std::unordered_set<std::u16string> checkedFolders_;
  // The state folder's key relative to the target when it lies inside it.
  std::u16string stateFolderKey_;
  RunRecordFile runRecord_;
  // What the run record says, written when the run first needs it.
  RunRecord run_;
  JournalWriter journal_;
  uint64_t runId_ = 0;
  uint32_t runNumber_ = 0;
  // This process, named in temporary names.
  uint32_t pid_ = 0;
  // False once the target's file system refused a hard link in this run.
  bool linksWork_ = true;
  bool synced_ = false;
  UndoOutcome undone_;
  std::u16string startFailurePath_;
  std::function<void(uint32_t, uint32_t)> progressHook_;
  uint32_t undoLeft_ = 0;
  uint32_t undoTotal_ = 0;
};

#endif  // OVN8_INSTALL_ROLLBACK_H_
