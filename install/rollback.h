// The rollback journal of an installation run.
//
// Before the installer overwrites a file in the template directory it moves
// the existing file into a private backup folder under the temporary
// directory ("n8stp" followed by a number); every directory and every file
// the run creates is recorded. A successful run deletes the backup folder
// (stop); a failed or cancelled one moves the backups back and removes what
// it created (rollback), so that the template directory is as it was.
//
// The journal lives in memory only and is used by the worker thread of its
// run alone; it takes no locks.
#ifndef OVN8_INSTALL_ROLLBACK_H_
#define OVN8_INSTALL_ROLLBACK_H_

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "install/journal_keys.h"
#include "platform/file_system.h"

class Rollback {
 public:
  Rollback() = default;
  ~Rollback();
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;

  // Opens a journal record for one run into `target` (which ends with a
  // separator) and creates a new backup folder. An empty target opens a
  // record without a backup folder. Returns 0 or an error number.
  uint32_t start(const std::u16string& target);
  // Ends a successful run: deletes the backup folder with its content.
  void stop();
  // Undoes the run: deletes the added files, puts the backed-up files back,
  // deletes the backup folder and the created directories. A backup that
  // cannot be moved back stays in the backup folder. Returns `code`.
  uint32_t rollback(uint32_t code);

  // Moves the file at `path` (below the target directory) to its mirrored
  // place in the backup folder. 2 when no file stands there (the caller then
  // records the path with addRBFile); 0 when this run already keeps the
  // file's original or added the file itself; otherwise an error number.
  // `seen`, when given, is the status of `path` (not following a link) that
  // the caller took just before; it spares a second look.
  uint32_t storeRBFile(const std::u16string& path, const FileStatus* seen = nullptr);
  // Makes sure `dir` exists, creating and recording the missing levels
  // (outer ones first). 3 when a level has no parent.
  uint32_t makeDirectoryTree(const std::u16string& dir);
  void addRBFile(const std::u16string& path);
  // Forgets the first added file equal to `path`, unit by unit.
  void removeRBFile(const std::u16string& path);
  void addRBCatalog(const std::u16string& path);

  // The current record's backup folder (ends with "/"; empty when none).
  const std::u16string& backupDirectory() const;
  const std::vector<std::u16string>& createdDirectories() const;
  // The files recorded as added, as full paths.
  std::vector<std::u16string> addedFiles() const;

 private:
  struct DirectoryTimes {
    std::u16string path;
    FileTimes times;
  };
  struct Record {
    std::u16string target;
    std::u16string backup;
    std::vector<std::u16string> createdDirectories;
    // Files the run wrote where none stood: those below the target by their
    // key, any others by their full path.
    JournalKeys addedKeys;
    std::vector<std::u16string> addedElsewhere;
    // Files whose original the run keeps in the backup folder, by key. A
    // second store of a kept or added path must leave the backup alone.
    JournalKeys backedUpKeys;
    // Pre-existing directories whose listing the run changes, with their
    // times before the first change; a rollback puts the times back.
    std::vector<DirectoryTimes> touchedDirectories;
    std::unordered_set<std::u16string> touchedKeys;
  };

  Record& current();
  const Record* last() const;
  bool keyOf(const Record& record, const std::u16string& path, std::u16string& key) const;
  uint32_t createBackupFolder(Record& record);
  uint32_t makeBackupDirectoryTree(const std::u16string& dir);
  uint32_t makeTree(const std::u16string& dir, bool record);
  uint32_t ensureTree(const std::u16string& dir, bool record);
  void rememberDirectoryTimes(const std::u16string& dir);
  void restoreDirectoryTimes(const Record& record);
  bool rollbackFiles(const Record& record);
  void removeDirectoryTree(const std::u16string& dir);
  void removeCreatedDirectory(const std::u16string& dir);
  void removeAddedFile(const std::u16string& path);

  void releaseBackupLock();

  std::vector<Record> records_;
  // Open on the current backup folder, holding its lock; private to the
  // user (0700) as the folder holds copies of the user's files.
  HANDLE backupLock_ = INVALID_HANDLE_VALUE;
  // The directory (and backup directory) the last makeDirectoryTree (and
  // makeBackupDirectoryTree) call made sure of, in the form it was given.
  std::u16string readyDirectory_;
  std::u16string readyBackupDirectory_;
};

#endif  // OVN8_INSTALL_ROLLBACK_H_
