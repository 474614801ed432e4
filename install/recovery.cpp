#include "install/recovery.h"

#include <unistd.h>

#include <algorithm>

#include "install/journal_file.h"
#include "install/rollback.h"
#include "install/run_record.h"
#include "install/target_lock.h"
#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/text.h"

namespace {

// A record that never got its whole content belongs to a run stopped
// before it made anything; its process may still be writing it.
void drop_unfinished_record(const std::u16string& path) {
  const uint32_t pid = run_record_pid(path);
  if (pid != 0 && pid != uint32_t(getpid()) && process_runs(pid)) return;
  FileSystem::DeleteFile(path);
}

// True when the directory was rolled back.
bool recover_one(const std::u16string& path) {
  RunRecord run;
  const uint32_t read = read_run_record(path, run);
  if (read == ERROR_INVALID_DATA) {
    drop_unfinished_record(path);
    return false;
  }
  if (read != ERROR_SUCCESS) return false;
  // The lock is free exactly when no installation into the directory runs;
  // holding it also keeps a second start from recovering at the same time.
  TargetLock lock;
  FileStatus status;
  if (file_status(without_trailing_separator(run.target), status) != ERROR_SUCCESS) return false;
  // A directory that is gone has nothing to put back into, unless its
  // installation is about to create it (the lock would make it).
  uint32_t locked = ERROR_PATH_NOT_FOUND;
  if (status.exists()) {
    locked = lock.acquire(without_trailing_separator(run.target));
    if (locked == ERROR_LOCK_VIOLATION) return false;
  }
  if (locked != ERROR_SUCCESS && (status.exists() || process_runs(run.pid))) return false;
  log_event("recovery: the installation into " + narrow_lib(run.target) + " was stopped");
  JournalContents journal;
  const uint32_t journalRead = read_journal(journal_path_of(run.backup), journal);
  Rollback rollback;
  if (journalRead == ERROR_SUCCESS && journal.header.owner == path) {
    if (locked != ERROR_SUCCESS) journal.committed = true;  // only the backups can go
    return rollback.recover(run, path, &journal);
  }
  // A journal that names another run: the record's run stopped before it
  // made its folder, and this one is not its to touch.
  if (journalRead == ERROR_SUCCESS) run.backup.clear();
  if (journalRead == ERROR_INVALID_DATA && !run.backup.empty())
    FileSystem::DeleteFile(journal_path_of(run.backup));  // its header never got whole
  if (journalRead != ERROR_SUCCESS && journalRead != ERROR_FILE_NOT_FOUND &&
      journalRead != ERROR_INVALID_DATA)
    return false;  // cannot tell; the next start tries again
  return rollback.recover(run, path, nullptr);
}

}  // namespace

std::vector<std::u16string> recover_stopped_installations() {
  std::vector<std::u16string> recovered;
  for (const std::u16string& path : find_run_records()) {
    RunRecord run;
    const bool known = read_run_record(path, run) == ERROR_SUCCESS;
    if (!recover_one(path) || !known) continue;
    if (std::find(recovered.begin(), recovered.end(), run.target) == recovered.end())
      recovered.push_back(run.target);
  }
  return recovered;
}
