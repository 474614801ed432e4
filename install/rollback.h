// The rollback journal of an installation run.
//
// Before the installer replaces a file in the template directory it moves
// the existing file into a private backup folder ("n8stp" followed by a
// number) on the template directory's file system: in the temporary
// directory when that lies on the same file system, otherwise hidden inside
// the template directory (".n8stp" followed by a number). Keeping and
// restoring an original are then renames that need no free space. Every
// directory and every file the run creates is recorded.
//
// What the run is about to do is also written to an on-disk journal beside
// the backup folder (see journal_file.h), in batches that are synced before
// their steps are taken, and a run record in the user's home names it (see
// run_record.h). A successful run syncs the installed files, commits the
// journal and only then deletes the backup folder (stop); a failed or
// cancelled one moves the backups back and removes what it created
// (rollback), so that the template directory is as it was. A run that was
// killed is put back the same way at the next start (recover).
//
// The wizard holds the template directory's lock (TargetLock) around the
// run, so a start's recovery can tell a run that no longer runs. A Rollback
// is used by the worker thread of its run alone; it takes no locks.
#ifndef OVN8_INSTALL_ROLLBACK_H_
#define OVN8_INSTALL_ROLLBACK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "install/journal_file.h"
#include "install/journal_keys.h"
#include "install/run_record.h"
#include "platform/file_system.h"

class Rollback {
 public:
  Rollback() = default;
  ~Rollback();
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;

  // Opens a journal record for one run into `target` (which ends with a
  // separator): writes the run record, creates a new backup folder and the
  // journal.
  // An empty target opens a record without a backup folder. Returns 0 or an
  // error number.
  uint32_t start(const std::u16string& target);
  // Ends a successful run: puts the installed files on disk, commits the
  // journal, then deletes the backup folder, the journal and the run
  // record. An error (nothing deleted) leaves the run for rollback.
  uint32_t stop();
  // Undoes the run: deletes the temporary and added files, puts the
  // backed-up files back, deletes the backup folder and the created
  // directories and puts the directories' times back. A backup that cannot
  // be moved back stays in the backup folder, with the journal, for the
  // next start to try again. Returns `code`.
  // Told during a rollback how many of its steps (files to remove or put
  // back) are left of how many; the hook runs on the rolling-back thread.
  void setProgressHook(std::function<void(uint32_t left, uint32_t total)> hook) {
    progressHook_ = std::move(hook);
  }
  uint32_t rollback(uint32_t code);
  // Puts back the directory of a run that was killed, from its run record
  // and its journal (null when the run had not made one yet), exactly as
  // rollback would; after a commit only the backups are deleted. The caller
  // holds the directory's lock. True when the directory was rolled back
  // (the run had begun to change it).
  bool recover(const RunRecord& run, const std::u16string& recordPath,
               const JournalContents* journal);

  // Moves the file at `path` (below the target directory) to its mirrored
  // place in the backup folder, after the journal names it. 2 when no file
  // stands there (the caller then records the path with addRBFile); 0 when
  // this run already keeps the file's original or added the file itself;
  // otherwise an error number. `seen`, when given, is the status of `path`
  // (not following a link) that the caller took just before; it spares a
  // second look.
  uint32_t storeRBFile(const std::u16string& path, const FileStatus* seen = nullptr);
  // Makes sure `dir` exists, creating and recording the missing levels
  // (outer ones first). 3 when a level has no parent.
  uint32_t makeDirectoryTree(const std::u16string& dir);
  void addRBFile(const std::u16string& path);
  // Forgets the first added file that names the same file as `path`: below
  // the target directory paths compare by their keys (relative_path_key, so
  // "a//./b" forgets "a/b"), elsewhere code unit by code unit.
  void removeRBFile(const std::u16string& path);
  void addRBCatalog(const std::u16string& path);

  // The batched steps of the installer. Plans are recorded in the journal
  // and in memory; nothing changes on disk until flushJournal has put them
  // there.
  enum class Plan { kKeep, kAdd, kAgain };
  // What writing `path`, whose status (not following a link) is `seen`,
  // means: its original is to be kept (recorded), nothing stands there (the
  // caller records it with addRBFile), or this run has already kept or
  // added it.
  uint32_t planFile(const std::u16string& path, const FileStatus& seen, Plan& plan);
  // Records the missing levels of `dir` as to be created.
  uint32_t planDirectoryTree(const std::u16string& dir);
  // A new hidden name beside `path` for writing entry `index`, recorded.
  std::u16string planTemporary(const std::u16string& path, uint32_t index);
  uint32_t flushJournal();
  // Whether the run plans (or planned) to make the directory `path`.
  bool isPlannedDirectory(const std::u16string& path) const;
  // Creates the planned levels of `dir`.
  uint32_t createPlannedTree(const std::u16string& dir);
  // Moves the planned original at `path` into the backup folder. With
  // `linked`, the original may instead stay where it is with a second name
  // in the backup folder (*linked true); the caller then replaces it.
  uint32_t keepOriginal(const std::u16string& path, bool* linked = nullptr);
  // The oldest planned temporary still to be placed has been renamed to its
  // final name: nothing is left under it for a rollback to delete.
  void temporaryPlaced();

  // The current record's backup folder (ends with "/"; empty when none).
  const std::u16string& backupDirectory() const;
  const std::vector<std::u16string>& createdDirectories() const;
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
    std::u16string backup;
    // The backup folder's name when it lies inside the target; no entry may
    // be installed below it.
    std::u16string hiddenName;
    std::vector<std::u16string> createdDirectories;
    // Files the run wrote where none stood: those below the target by their
    // key, any others by their full path.
    JournalKeys addedKeys;
    std::vector<std::u16string> addedElsewhere;
    // Files whose original the run keeps in the backup folder, by key. A
    // second store of a kept or added path must leave the backup alone.
    JournalKeys backedUpKeys;
    std::vector<std::u16string> temporaries;
    // The first this many temporaries have become installed files.
    size_t placedTemporaries = 0;
    // Pre-existing directories whose listing the run changes, with their
    // times before the first change; a rollback puts the times back.
    std::vector<DirectoryTimes> touchedDirectories;
    std::unordered_set<std::u16string> touchedKeys;
    bool haveTargetTimes = false;
    FileTimes targetTimes;
  };

  Record& current();
  const Record* last() const;
  bool keyOf(const Record& record, const std::u16string& path, std::u16string& key) const;
  bool journalKeyOf(const Record& record, const std::u16string& path, std::u16string& key) const;
  void journalRecord(JournalRecordType type, const std::u16string& path);
  uint32_t createBackupFolder(Record& record);
  uint32_t claimBackupFolder(Record& record, RunRecord& run, const std::u16string& base,
                             const std::u16string& prefix);
  uint32_t makeBackupDirectoryTree(const std::u16string& dir);
  uint32_t makeTree(const std::u16string& dir, std::u16string& ready);
  uint32_t walkUnlessReady(const std::u16string& path, std::u16string& ready,
                           uint32_t (Rollback::*walk)(const std::u16string&));
  uint32_t ensureTree(const std::u16string& dir);
  uint32_t planTree(const std::u16string& dir);
  // Shortens `level` to the deepest level that is a folder or is planned
  // (the disk's root at the latest). While making the tree, levels still to
  // be made are passed without a look; while planning it, anything other
  // than a folder in the way is an error at once.
  uint32_t climbToExistingLevel(std::u16string& level, bool planning);
  void rememberDirectoryTimes(const std::u16string& dir);
  void restoreDirectoryTimes(const Record& record);
  bool undo(Record& record);
  bool rollbackFiles(const Record& record);
  void finish(Record& record, bool restoreTargetTimes);
  void removeDirectoryTree(const std::u16string& dir);
  void removeCreatedDirectory(const std::u16string& dir);
  void removeAddedFile(const std::u16string& path);
  void releaseBackupLock();

  std::vector<Record> records_;
  // Open on the current backup folder, holding its lock; private to the
  // user (0700) as the folder holds copies of the user's files.
  HANDLE backupLock_ = INVALID_HANDLE_VALUE;
  // The directory (and backup directory) made sure of last time, in the
  // form it was given.
  std::u16string readyDirectory_;
  std::u16string readyBackupDirectory_;
  // The directory planned last, complete once its planned levels are made;
  // forgotten at every journal flush, so that each batch looks again.
  std::u16string plannedReady_;
  // Levels the run planned to make, and those of them not made yet.
  std::unordered_set<std::u16string> plannedDirectories_;
  std::unordered_set<std::u16string> pendingDirectories_;
  RunRecordFile runRecord_;
  JournalWriter journal_;
  uint32_t runNumber_ = 0;
  // This process, named in temporary names.
  uint32_t pid_ = 0;
  // False once the target's file system refused a hard link in this run.
  bool linksWork_ = true;
  std::function<void(uint32_t, uint32_t)> progressHook_;
  uint32_t undoLeft_ = 0;
  uint32_t undoTotal_ = 0;
  void undoStepDone();
};

#endif  // OVN8_INSTALL_ROLLBACK_H_
