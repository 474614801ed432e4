#include "install/recovery.h"

#include <unistd.h>

#include <algorithm>

#include "install/journal_file.h"
#include "install/rollback.h"
#include "install/run_record.h"
#include "install/target_lock.h"
#include "platform/file_finder.h"
#include "platform/owned_leftovers.h"
#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "resources/lang.h"

namespace {

// Made by this user, and writable by nobody else.
bool is_private(const FileStatus& status, FileKind kind) {
  return status.kind == kind && status.owner == uint32_t(geteuid()) && (status.mode & 022) == 0;
}

// The private folders of runs in `directory` (ends with "/"), by name.
std::vector<std::u16string> run_folders_in(const std::u16string& directory) {
  std::vector<std::u16string> names;
  FileFinder finder;
  for (bool more = finder.reset(directory + u".n8stp*"); more; more = finder.next())
    if (is_run_folder_name(finder.name())) names.push_back(finder.name());
  std::sort(names.begin(), names.end());
  return names;
}

// Whether the folder holds anything but `except`.
bool holds_more_than(const std::u16string& folder, const std::u16string& except) {
  FileFinder finder;
  for (bool more = finder.reset(folder + u"/*"); more; more = finder.next()) {
    const std::u16string name = finder.name();
    if (name != u"." && name != u".." && name != except) return true;
  }
  return false;
}

RecoveryNotice notice_of(RecoveryNotice::Kind kind, const std::u16string& directory) {
  RecoveryNotice notice;
  notice.kind = kind;
  notice.directory = directory;
  return notice;
}

// A run stopped before its journal was whole had changed nothing but its
// folder; the folder (and a journal cut short) go.
bool remove_unstarted_folder(const std::u16string& folder, bool journalExists) {
  if (holds_more_than(folder, u"journal")) return false;
  if (journalExists && FileSystem::DeleteFile(folder + u"/journal") != ERROR_SUCCESS) return false;
  return FileSystem::RemoveEmptyDirectory(folder) == ERROR_SUCCESS;
}

void drop_record(const std::u16string& path) {
  RunRecordFile file;
  file.adopt(path);
  file.remove();
}

// One run's private folder in `directory` (the real path, ends with "/",
// locked by the caller). Folders that are not the user's are another
// user's or not a run's at all, and are left alone without a word.
// Returns false when the folder could not be put right.
bool recover_folder(const std::u16string& directory, const DirectoryIdentity& identity,
                    const std::u16string& name, std::vector<RecoveryNotice>& notices,
                    std::vector<std::u16string>* unstarted) {
  const std::u16string folder = directory + name;
  FileStatus status;
  if (link_status(folder, status) != ERROR_SUCCESS || !is_private(status, FileKind::kDirectory))
    return true;
  HANDLE held = INVALID_HANDLE_VALUE;
  if (open_and_lock(folder, GENERIC_READ, held) != ERROR_SUCCESS) return true;  // in use
  struct Closer {
    HANDLE handle;
    ~Closer() { FileSystem::CloseHandle(handle); }
  } closer{held};

  const std::u16string journalPath = folder + u"/journal";
  FileStatus journalStatus;
  uint32_t result = link_status(journalPath, journalStatus);
  const bool journalExists = result == ERROR_SUCCESS && journalStatus.exists();
  JournalContents journal;
  if (result == ERROR_SUCCESS && journalExists) {
    result = is_private(journalStatus, FileKind::kRegular) ? read_journal(journalPath, journal)
                                                            : uint32_t(ERROR_FILE_CORRUPT);
  } else if (result == ERROR_SUCCESS) {
    result = ERROR_INVALID_DATA;
  }
  if (result == ERROR_INVALID_DATA && remove_unstarted_folder(folder, journalExists)) {
    FileSystem::FlushDirectory(without_trailing_separator(directory));
    log_event("recovery: removed the folder of a run stopped before its journal, " +
              narrow_lib(folder));
    if (unstarted != nullptr) unstarted->push_back(name);
    return true;
  }
  // A journal that names another directory (this one is a copy, or the
  // folder was moved here) is not acted on.
  if (result == ERROR_SUCCESS &&
      (journal.header.target != identity || journal.header.hiddenName != name))
    result = ERROR_FILE_CORRUPT;
  if (result != ERROR_SUCCESS) {
    log_event(error_event("recovery: cannot tell what the run in " + narrow_lib(folder) +
                              " did; left as it is",
                          result));
    RecoveryNotice notice = notice_of(RecoveryNotice::Kind::kCannotTell, directory);
    notice.keptIn = folder + u"/";
    notices.push_back(notice);
    return false;
  }
  log_event("recovery: the installation into " + narrow_lib(directory) + " was stopped" +
            (journal.committed ? " after it had finished" : ""));
  // The user's own record of that run, if it lies here, is marked once the
  // run is undone and deleted once its folder is gone.
  std::u16string recordPath;
  RunRecord record;
  for (const std::u16string& path : find_run_records()) {
    if (read_run_record(path, record) == ERROR_SUCCESS && record.runId == journal.header.runId) {
      recordPath = path;
      break;
    }
  }
  Rollback rollback;
  const bool rolledBack = rollback.recover(directory, name, journal, recordPath,
                                           recordPath.empty() ? nullptr : &record);
  const UndoOutcome& outcome = rollback.lastUndo();
  if (!outcome.complete) {
    RecoveryNotice notice = notice_of(RecoveryNotice::Kind::kIncomplete, directory);
    notice.paths = outcome.notRestored;
    notice.keptIn = outcome.keptIn;
    notices.push_back(notice);
    return false;
  }
  if (rolledBack) {
    RecoveryNotice notice = notice_of(RecoveryNotice::Kind::kRestored, directory);
    notice.paths = outcome.keptChanges;
    notices.push_back(notice);
  }
  // Put right here, wherever the record said the directory was. A record
  // of levels the run made stays for the start that removes them.
  if (!recordPath.empty() && record.createdLevels.empty()) drop_record(recordPath);
  return true;
}

// A record cut off before it was whole belongs to a run stopped before it
// made anything; its process may still be writing it.
void drop_unfinished_record(const std::u16string& path) {
  const uint32_t pid = run_record_pid(path);
  if (pid != 0 && pid != uint32_t(getpid()) && process_runs(pid)) return;
  FileSystem::DeleteFile(path);
}


// Empty levels the run made for a directory that did not exist, inner ones
// first; once all are gone the level above has its times back.
void remove_created_levels(const RunRecord& run) {
  for (auto it = run.createdLevels.rbegin(); it != run.createdLevels.rend(); ++it)
    if (FileSystem::RemoveEmptyDirectory(*it) != ERROR_SUCCESS) return;
  restore_anchor_times(run);
}

// A run stopped before its directory had an identity: at most the levels
// it was making exist, below a level whose identity the record names.
void visit_unstarted_run(const std::u16string& path, const RunRecord& run,
                         std::vector<RecoveryNotice>& notices) {
  // Until its directory exists nothing locks it: a run whose process lives
  // may be making it right now.
  if (run.pid != uint32_t(getpid()) && process_runs(run.pid)) return;
  if (run.createdLevels.empty()) {
    drop_record(path);
    return;
  }
  FileStatus anchor;
  const std::u16string anchorPath = parent_directory(run.createdLevels.front());
  if (file_status(anchorPath, anchor) != ERROR_SUCCESS || !anchor.isDirectory() ||
      identity_of(anchor) != run.anchorIdentity) {
    notices.push_back(notice_of(RecoveryNotice::Kind::kPending, run.target));
    return;
  }
  TargetLock lock;
  if (lock.acquire(run.target) == ERROR_LOCK_VIOLATION) return;
  remove_created_levels(run);
  FileSystem::FlushDirectory(anchorPath);
  drop_record(path);
}

void visit_record(const std::u16string& path, std::vector<DirectoryIdentity>& visited,
                  std::vector<RecoveryNotice>& notices) {
  RunRecord run;
  const uint32_t read = read_run_record(path, run);
  if (read == ERROR_INVALID_DATA) {
    drop_unfinished_record(path);
    return;
  }
  if (read != ERROR_SUCCESS) return;
  if (!run.targetIdentity.known()) {
    visit_unstarted_run(path, run, notices);
    return;
  }
  const std::u16string targetDir = without_trailing_separator(run.target);
  FileStatus status;
  if (file_status(targetDir, status) != ERROR_SUCCESS || !status.isDirectory() ||
      identity_of(status) != run.targetIdentity) {
    // Undone already wherever the directory is now: nothing is left to do.
    if (run.rolledBack) {
      drop_record(path);
      return;
    }
    // Moved, unmounted, or another folder under that name: it is put right
    // when it is back (or by the next run into the folder where it is now).
    log_event("recovery: " + narrow_lib(run.target) + " is not there; its record is kept");
    notices.push_back(notice_of(RecoveryNotice::Kind::kPending, run.target));
    return;
  }
  TargetLock lock;
  if (lock.acquire(targetDir) != ERROR_SUCCESS) return;  // its installation runs
  std::u16string real;
  if (FileSystem::GetFinalPathName(targetDir, real) != ERROR_SUCCESS) return;
  real = with_trailing_separator(real);
  bool recovered = true;
  if (std::find(visited.begin(), visited.end(), run.targetIdentity) == visited.end()) {
    visited.push_back(run.targetIdentity);
    std::vector<RecoveryNotice> found;
    std::vector<std::u16string> unstarted;
    recovered = recover_runs_in_locked_directory(real, found, &unstarted) == ERROR_SUCCESS;
    // Its folder was made and nothing else: the directory's times come
    // from the record, the journal never had them whole.
    if (std::find(unstarted.begin(), unstarted.end(), run.hiddenName) != unstarted.end())
      FileSystem::SetPathTimes(real, run.targetTimes);
    // The user knows the directory by the path the record names.
    for (RecoveryNotice& notice : found) notice.directory = run.target;
    notices.insert(notices.end(), found.begin(), found.end());
  }
  FileStatus folder;
  const bool folderLeft = !run.hiddenName.empty() &&
                          link_status(real + run.hiddenName, folder) == ERROR_SUCCESS &&
                          folder.exists();
  if (!recovered && folderLeft) return;  // tried again at the next start
  // Undone by an earlier recovery that was stopped before it put the
  // directory's times back.
  RunRecord now;
  if (!folderLeft && read_run_record(path, now) == ERROR_SUCCESS && now.rolledBack)
    FileSystem::SetPathTimes(real, now.targetTimes);
  remove_created_levels(run);
  // What this visit changed is on disk before the record that named it goes.
  FileSystem::FlushDirectory(without_trailing_separator(real));
  drop_record(path);
}

// Paths are shown escaped: a folder or file name cannot forge a line or
// send escape sequences to a terminal.
std::u16string joined(const std::vector<std::u16string>& paths) {
  std::u16string text;
  for (const std::u16string& path : paths) {
    text += u'\n';
    text += printable(path);
  }
  return text;
}

}  // namespace

uint32_t recover_runs_in_locked_directory(const std::u16string& directory,
                                          std::vector<RecoveryNotice>& notices,
                                          std::vector<std::u16string>* unstarted) {
  const std::u16string folder = with_trailing_separator(directory);
  FileStatus status;
  uint32_t result = file_status(without_trailing_separator(folder), status);
  if (result != ERROR_SUCCESS) return result;
  if (!status.isDirectory()) return ERROR_SUCCESS;
  std::u16string real;
  result = FileSystem::GetFinalPathName(folder, real);
  if (result != ERROR_SUCCESS) return result;
  real = with_trailing_separator(real);
  bool allRight = true;
  for (const std::u16string& name : run_folders_in(real))
    allRight = recover_folder(real, identity_of(status), name, notices, unstarted) && allRight;
  return allRight ? ERROR_SUCCESS : ERROR_FILE_CORRUPT;
}

std::vector<RecoveryNotice> recover_directory(const std::u16string& directory) {
  std::vector<RecoveryNotice> notices;
  TargetLock lock;
  if (lock.acquire(directory) != ERROR_SUCCESS || !lock.missingLevels().empty()) return notices;
  recover_runs_in_locked_directory(directory, notices);
  for (RecoveryNotice& notice : notices) notice.directory = with_trailing_separator(lock.directory());
  return notices;
}

std::vector<RecoveryNotice> recover_stopped_installations() {
  std::vector<RecoveryNotice> notices;
  for (const LegacyRunRecord& legacy : find_legacy_run_records()) {
    // Its originals stay where that version kept them; the user is told
    // once where.
    RecoveryNotice notice = notice_of(RecoveryNotice::Kind::kEarlierVersion, legacy.target);
    notice.keptIn = legacy.backup;
    notices.push_back(notice);
    FileSystem::DeleteFile(legacy.path);
  }
  std::vector<DirectoryIdentity> visited;
  for (const std::u16string& path : find_run_records()) visit_record(path, visited, notices);
  return notices;
}

// Each path on a line of its own: glued to the sentence, a long one would
// wrap right after its first "/".
std::u16string recovery_notice_text(const RecoveryNotice& notice) {
  switch (notice.kind) {
    case RecoveryNotice::Kind::kRestored: {
      std::u16string text = LoadResString("IDS_RECOVERED_TARGET") + u"\n" + printable(notice.directory);
      if (!notice.paths.empty())
        text += u"\n" + LoadResString("IDS_RECOVERY_KEPT_CHANGES") + joined(notice.paths);
      return text;
    }
    case RecoveryNotice::Kind::kPending:
      return LoadResString("IDS_RECOVERY_PENDING") + u"\n" + printable(notice.directory);
    case RecoveryNotice::Kind::kIncomplete:
      return LoadResString("IDS_RECOVERY_INCOMPLETE") + u"\n" + printable(notice.directory) + u"\n" +
             LoadResString("IDS_ORIGINALS_KEPT_IN") + u"\n" + printable(notice.keptIn) + joined(notice.paths);
    case RecoveryNotice::Kind::kCannotTell:
      return LoadResString("IDS_RECOVERY_CANNOTTELL") + u"\n" + printable(notice.directory);
    case RecoveryNotice::Kind::kEarlierVersion:
      return LoadResString("IDS_RECOVERY_EARLIER") + u"\n" + printable(notice.directory) + u"\n" +
             LoadResString("IDS_ORIGINALS_KEPT_IN") + u"\n" + printable(notice.keptIn);
  }
  return std::u16string();
}
