#include "install/rollback.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "install/installation_record.h"
#include "install/recovery.h"
#include "platform/existing_level.h"
#include "platform/file_system.h"
#include "platform/owned_leftovers.h"
#include "platform/path.h"
#include "platform/regular_file.h"
#include "platform/run_log.h"
#include "platform/text.h"

namespace {

// What without_trailing_separator gives, without a copy: the journal asks
// it for every record.
std::u16string_view withoutTrailingSlashes(const std::u16string& path) {
  size_t length = path.size();
  while (length > 1 && path[length - 1] == u'/') --length;
  return std::u16string_view(path.data(), length);
}

// Private folders are ".n8stp0", ".n8stp1", ...; this many names are tried
// before start gives up.
const unsigned kMaxPrivateFolderNumber = 100000;
const char16_t kPrivateFolderPrefix[] = u".n8stp";
const char16_t kTemporaryPrefix[] = u".n8new";
// Runs of this process so far, so that temporary names of two runs differ.
unsigned g_runCounter = 0;

uint64_t new_run_id() {
  std::random_device device;
  return uint64_t(device()) << 32 | device();
}

bool starts_with(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// "report.odt" -> "report.odt.~kept-2026-12-08-130501~", numbered when that
// is taken too.
std::u16string kept_name(const std::u16string& path, unsigned attempt) {
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
  std::u16string name = path + u".~kept-" + widen_lib(stamp);
  if (attempt > 0) name += u"-" + string_uito(attempt, 10);
  return name + u"~";
}

}  // namespace

Rollback::~Rollback() {
  journal_.close();
  releaseBackupLock();
}

void Rollback::releaseBackupLock() {
  if (backupLock_ == INVALID_HANDLE_VALUE) return;
  FileSystem::CloseHandle(backupLock_);
  backupLock_ = INVALID_HANDLE_VALUE;
}

std::vector<std::u16string> Rollback::addedFiles() const {
  std::vector<std::u16string> files;
  for (const std::u16string& key : record_.addedKeys) files.push_back(record_.target + key);
  files.insert(files.end(), record_.addedElsewhere.begin(), record_.addedElsewhere.end());
  return files;
}

void Rollback::reset(const std::u16string& target) {
  record_ = Record();
  record_.target = target;
  readyDirectories_.clear();
  readyBackupDirectories_.clear();
  plannedReady_.clear();
  plannedDirectories_.clear();
  pendingDirectories_.clear();
  stagingFolders_.clear();
  stagedLevels_.clear();
  unsyncedBackupFolders_.clear();
  plainLevels_.clear();
  checkedFolder_.clear();
  checkedFolders_.clear();
  stateFolderKey_.clear();
  journal_.forget();
  releaseBackupLock();
  lock_.release();
  runRecord_ = RunRecordFile();
  runId_ = new_run_id();
  runNumber_ = ++g_runCounter;
  pid_ = uint32_t(getpid());
  linksWork_ = true;
  synced_ = false;
  undone_ = UndoOutcome();
  startFailurePath_.clear();
}

// The lock comes first: nothing of another installation into this
// directory, or one around it, may be running. The run record follows
// (from the moment it is on disk, a start after a kill knows to visit the
// directory), then the missing levels, then whatever a stopped run left in
// the directory is put right, and only then does the run claim its private
// folder and write its journal there.
uint32_t Rollback::start(const std::u16string& target) {
  reset(target);
  if (target.empty()) return ERROR_SUCCESS;
  uint32_t result = lock_.acquire(target);
  if (result != ERROR_SUCCESS) return result;
  run_ = RunRecord();
  run_.pid = pid_;
  run_.runId = runId_;
  run_.target = with_trailing_separator(lock_.directory());
  result = makeMissingLevels();
  if (result != ERROR_SUCCESS) return result;
  findStateFolderKey();

  // The wizard has put the directory right before offering it; a run
  // stopped there since is put right all the same, and logged.
  std::vector<RecoveryNotice> notices;
  result = recover_runs_in_locked_directory(target, notices);
  for (const RecoveryNotice& notice : notices)
    log_event("recovery: " + narrow_lib(recovery_notice_text(notice)));
  if (result != ERROR_SUCCESS) return result;

  FileStatus status;
  result = file_status(lock_.directory(), status);
  if (result != ERROR_SUCCESS) return result;
  if (!status.isDirectory()) return ERROR_PATH_NOT_FOUND;
  record_.haveTargetTimes = true;
  record_.targetTimes = status.times;
  run_.targetIdentity = identity_of(status);
  run_.targetTimes = status.times;
  return ERROR_SUCCESS;
}

// A run that finds every file up to date changes nothing, not even its
// home directory: the record, the private folder and the journal are made
// when the first batch has something to write.
uint32_t Rollback::openJournal() {
  if (journal_.isOpen()) return ERROR_SUCCESS;
  return claimPrivateFolder(run_);
}

// Written once where it can be: the record is rewritten only when it
// already existed (a missing target) or its folder's name was taken.
uint32_t Rollback::writeRunRecord(const RunRecord& run) {
  const uint32_t result =
      runRecord_.path().empty() ? runRecord_.create(run) : runRecord_.rewrite(run);
  if (result != ERROR_SUCCESS) startFailurePath_ = state_folder();
  return result;
}

// The levels are named in the run record before they are made, so that a
// kill in between leaves nothing a start does not know of.
uint32_t Rollback::makeMissingLevels() {
  if (lock_.missingLevels().empty()) return ERROR_SUCCESS;
  run_.anchorIdentity = identity_of(lock_.existingLevel());
  run_.anchorTimes = lock_.existingLevel().times;
  run_.createdLevels = lock_.missingLevels();
  uint32_t result = writeRunRecord(run_);
  if (result != ERROR_SUCCESS) return result;
  // Another wizard making the same levels may take away the ones it made
  // before this run has locked the directory: the levels are made again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    for (const std::u16string& level : lock_.missingLevels()) {
      result = FileSystem::CreateOneDirectory(level, 0777);
      // Made meanwhile by someone else: not this run's to remove.
      if (result == ERROR_ALREADY_EXISTS) continue;
      if (result != ERROR_SUCCESS) return result;
      if (std::find(record_.createdLevels.begin(), record_.createdLevels.end(), level) ==
          record_.createdLevels.end())
        record_.createdLevels.push_back(level);
    }
    result = lock_.lockCreated();
    if (result != ERROR_PATH_NOT_FOUND) return result;
  }
  return result;
}

// The state folder need not exist yet: the home directory's real path
// tells where it goes.
void Rollback::findStateFolderKey() {
  const std::u16string folder = state_folder();
  std::u16string home, target;
  if (folder.empty() ||
      FileSystem::GetFinalPathName(parent_directory(folder), home) != ERROR_SUCCESS ||
      FileSystem::GetFinalPathName(lock_.directory(), target) != ERROR_SUCCESS)
    return;
  const std::u16string state = with_trailing_separator(home) + folder.substr(folder.rfind(u'/') + 1);
  const std::u16string prefix = with_trailing_separator(target);
  if (starts_with(state, prefix)) stateFolderKey_ = state.substr(prefix.size());
}

uint32_t Rollback::claimPrivateFolder(RunRecord& run) {
  const std::u16string targetDir = lock_.directory();
  for (unsigned n = 0; n < kMaxPrivateFolderNumber; ++n) {
    const std::u16string name = kPrivateFolderPrefix + string_uito(n, 10);
    const std::u16string folder = with_trailing_separator(targetDir) + name;
    // A name in use needs no attempt (nor a rewrite of the record).
    FileStatus folderStatus;
    if (link_status(folder, folderStatus) == ERROR_SUCCESS && folderStatus.exists()) continue;
    run.hiddenName = name;
    uint32_t result = writeRunRecord(run);
    if (result != ERROR_SUCCESS) return result;
    // Locked while the run needs it.
    releaseBackupLock();
    result = create_locked_directory(folder, 0700, backupLock_);
    if (result == ERROR_ALREADY_EXISTS) continue;
    if (result != ERROR_SUCCESS) return result;
    record_.hiddenName = name;
    record_.hidden = folder + u"/";
    record_.backup = record_.hidden + u"b/";
    JournalHeader header;
    header.runId = runId_;
    header.target = run.targetIdentity;
    header.hiddenName = name;
    header.targetTimes = run.targetTimes;
    result = journal_.create(record_.hidden + u"journal", header);
    if (result != ERROR_SUCCESS) return result;
    // The folder's name must survive a power cut as the journal does.
    return FileSystem::FlushDirectory(targetDir);
  }
  return ERROR_CANTWRITE;
}

uint32_t Rollback::syncInstalled() {
  if (!journal_.isOpen()) return ERROR_SUCCESS;
  const uint32_t result = FileSystem::FlushFileSystem(record_.target);
  synced_ = result == ERROR_SUCCESS;
  return result;
}

uint32_t Rollback::stop() {
  readyDirectories_.clear();
  readyBackupDirectories_.clear();
  if (journal_.isOpen()) {
    // Nothing is committed before the installed files and their folders are
    // on disk, and no backup goes before the commit is.
    uint32_t result = synced_ ? ERROR_SUCCESS : syncInstalled();
    if (result == ERROR_SUCCESS) result = journal_.commit();
    if (result != ERROR_SUCCESS) return result;
  }
  finish(true);
  return ERROR_SUCCESS;
}

// Deletes the private folder (backups and journal), puts that on disk, and
// only then deletes the run record: a record whose folder is gone tells a
// start that nothing is left to do. After a rollback the levels the run
// made go too, and the directory's times come back. A step that fails keeps
// what follows it, for the next start.
void Rollback::finish(bool committed) {
  journal_.close();
  releaseBackupLock();
  if (!committed) markRolledBack();
  bool gone = true;
  if (!record_.hidden.empty()) {
    const uint32_t removed = FileSystem::RemoveDirectory(without_trailing_separator(record_.hidden));
    gone = removed == ERROR_SUCCESS;
    if (!gone) {
      log_event(error_event("cannot remove " + narrow_lib(record_.hidden), removed));
      undone_.complete = false;
      undone_.keptIn = record_.hidden;
    }
  }
  if (!committed && gone) removeCreatedLevels();
  // The private folder lay in the directory itself: unless the run changed
  // the directory's own listing, its times come back. A directory reached
  // through a link gets them, not the link.
  const bool listingChanged = committed && record_.touchedKeys.count(lock_.directory()) != 0;
  const bool restoreTimes = !record_.hidden.empty() && record_.haveTargetTimes && !listingChanged;
  if (restoreTimes) restoreTargetTimes();
  // The folder's removal and the times are on disk before the record goes:
  // a record whose folder is gone tells a start that nothing is left.
  if (gone && !record_.hidden.empty()) gone = flushTargetListing() == ERROR_SUCCESS;
  if (gone) runRecord_.remove();
  runRecord_ = RunRecordFile();
  // The state folder may lie in the directory too.
  if (restoreTimes && !stateFolderKey_.empty()) restoreTargetTimes();
  // The lock lasts as long as this run's object: until the run has ended.
}

void Rollback::restoreTargetTimes() {
  FileSystem::SetPathTimes(with_trailing_separator(lock_.directory()), record_.targetTimes);
}

// The directory's listing, or that of the nearest level left when the run
// took away the levels it had made.
uint32_t Rollback::flushTargetListing() {
  std::u16string level;
  FileStatus status;
  const uint32_t looked = nearest_existing_level(lock_.directory(), level, status);
  if (looked != ERROR_SUCCESS) return looked;
  return status.isDirectory() ? FileSystem::FlushDirectory(level) : uint32_t(ERROR_PATH_NOT_FOUND);
}

void Rollback::markRolledBack() {
  if (runRecord_.path().empty() || record_.hidden.empty()) return;
  run_.rolledBack = true;
  runRecord_.rewrite(run_);
}

// A level another installation has locked meanwhile is its directory now.
// Once all the levels are gone (none made by someone else meanwhile), the
// level above has its times back.
void Rollback::removeCreatedLevels() {
  lock_.release();
  for (auto it = record_.createdLevels.rbegin(); it != record_.createdLevels.rend(); ++it) {
    if (target_is_busy(*it)) return;
    if (FileSystem::RemoveEmptyDirectory(*it) != ERROR_SUCCESS) return;
  }
  if (record_.createdLevels == run_.createdLevels) restore_anchor_times(run_);
}

uint32_t Rollback::rollback(uint32_t code) {
  readyDirectories_.clear();
  readyBackupDirectories_.clear();
  plannedDirectories_.clear();
  pendingDirectories_.clear();
  undone_ = UndoOutcome();
  // A commit that may have reached the disk must be taken back first: a
  // kill during the rollback would otherwise leave a journal that says the
  // run stands. When that fails, nothing is undone and the next start
  // decides from what is on disk.
  if (journal_.uncommit() != ERROR_SUCCESS) {
    log_event("rollback: the commit cannot be taken back; the next start decides");
    undone_.complete = false;
    undone_.keptIn = record_.hidden;
    releaseBackupLock();
    journal_.close();
    runRecord_ = RunRecordFile();
    lock_.release();
    return code;
  }
  undo();
  if (undone_.complete) {
    finish(false);
  } else {
    // An original that could not be put back stays in the private folder
    // with the journal and the run record: the next start tries again.
    undone_.keptIn = record_.hidden;
    log_event("rollback: the originals that could not be put back stay in " +
              narrow_lib(record_.hidden));
    releaseBackupLock();
    journal_.close();
    runRecord_ = RunRecordFile();
    lock_.release();
  }
  log_event(undone_.complete ? "rollback: done" : "rollback: not finished");
  return code;
}

// The run's own files go first, then the originals come back: nothing
// deleted afterwards can be a user's file, and no created directory goes
// while a backup that belongs below it is still to be restored. Every step
// may meet its work done already (a recovery after a kill during a
// rollback or an earlier recovery).
void Rollback::undo() {
  plainLevels_.clear();
  checkedFolder_.clear();
  checkedFolders_.clear();
  undoTotal_ = undoLeft_ = uint32_t(record_.addedKeys.size() + record_.addedElsewhere.size() +
                                    record_.backedUpKeys.size());
  if (progressHook_) progressHook_(undoLeft_, undoTotal_);
  removeStagingFolders();
  for (size_t i = record_.placedTemporaries; i < record_.temporaries.size(); ++i) {
    // Only the user's own: another user may hold a planned name.
    FileStatus found;
    if (link_status(record_.temporaries[i], found) == ERROR_SUCCESS &&
        found.kind == FileKind::kRegular && found.owner == uint32_t(geteuid()))
      FileSystem::DeleteFile(record_.temporaries[i]);
  }
  removeAddedFiles();
  restoreFileTimes();
  remakeRemovedDirectories();
  if (!record_.target.empty() && !record_.backup.empty()) restoreKeptOriginals();
  for (auto it = record_.createdDirectories.rbegin(); it != record_.createdDirectories.rend(); ++it)
    removeCreatedDirectory(*it);
  restoreDirectoryTimes();
  // What was undone is on disk before the journal and the backups go.
  if (undone_.complete && !record_.hidden.empty() &&
      FileSystem::FlushFileSystem(record_.target) != ERROR_SUCCESS)
    undone_.complete = false;
}

// A staging folder still under its staging name never got its folder's
// name: all of it is the run's (made exclusively, mode 0700, so nobody
// else could write in it) and it goes whole. One renamed already is the
// folder now, undone file by file like the others. Only a real folder of
// the user's own is taken: after a crash the name may be someone else's.
void Rollback::removeStagingFolders() {
  for (const auto& staged : record_.stagedFolders) {
    const size_t slash = staged.first.rfind(u'/');
    const std::u16string key =
        (slash == std::u16string::npos ? std::u16string() : staged.first.substr(0, slash + 1)) + staged.second;
    const std::u16string path = record_.target + key;
    FileStatus found;
    if (!liesPlainlyInside(key) || link_status(path, found) != ERROR_SUCCESS || !found.isDirectory() ||
        found.owner != uint32_t(geteuid()))
      continue;
    const uint32_t result = FileSystem::RemoveDirectory(path);
    if (result == ERROR_SUCCESS) {
      log_event("rollback: removed " + narrow_lib(path) + ", the unfinished " + narrow_lib(record_.target + staged.first));
    } else {
      log_event(error_event("rollback: could not remove " + narrow_lib(path), result));
      undone_.complete = false;
      undone_.notRestored.push_back(path);
    }
  }
}

// A file the run added goes only while it is still the file the run wrote;
// one the user changed since stays where it is.
void Rollback::removeAddedFiles() {
  const bool logging = run_log().isOpen();
  for (const std::u16string& key : record_.addedKeys) {
    const std::u16string path = record_.target + key;
    undoStepDone();
    FileStatus found;
    if (!liesPlainlyInside(key) || link_status(path, found) != ERROR_SUCCESS || !found.exists())
      continue;
    if (!isRunsOwnFile(key, found)) {
      log_event("rollback: kept " + narrow_lib(path) + ": changed since it was installed");
      undone_.keptChanges.push_back(path);
      continue;
    }
    const uint32_t result = FileSystem::DeleteFile(path);
    if (result == ERROR_SUCCESS) {
      if (logging) log_event("rollback: removed " + narrow_lib(path));
    } else {
      log_event(error_event("rollback: could not remove " + narrow_lib(path), result));
      undone_.complete = false;
      undone_.notRestored.push_back(path);
    }
  }
  for (const std::u16string& path : record_.addedElsewhere) {
    undoStepDone();
    FileSystem::DeleteFile(path);
  }
}

// Moves every file (or link) that the journal kept back to its place. The
// backup folder mirrors the target, so each file's two places follow from
// its key. A backup that is not there was never made or is back already; a
// backup that is still a second name of the file in its place needs
// nothing. What stands in the place is replaced only when it is the run's
// own file; a file changed since is first given a name of its own.
void Rollback::restoreKeptOriginals() {
  const bool logging = run_log().isOpen();
  for (const std::u16string& key : record_.backedUpKeys) {
    const std::u16string backup = record_.backup + key;
    const std::u16string original = record_.target + key;
    undoStepDone();
    FileStatus found;
    uint32_t result = liesPlainlyInside(key) ? link_status(original, found) : ERROR_NOT_A_FOLDER;
    uint32_t flags = 0;
    // The run's own file is replaced (a rename onto a second name of itself,
    // should it still be the original, does nothing).
    if (result == ERROR_SUCCESS && isRunsOwnFile(key, found)) flags = MOVEFILE_REPLACE_EXISTING;
    if (result == ERROR_SUCCESS && found.exists() && flags == 0) {
      FileStatus kept;
      result = link_status(backup, kept);
      if (result == ERROR_SUCCESS && !kept.exists()) continue;  // never kept, or back already
      // Never replaced: the second name goes with the folder.
      if (result == ERROR_SUCCESS && found.device == kept.device && found.inode == kept.inode)
        continue;
      if (result == ERROR_SUCCESS) result = keepChangedFile(original);
    }
    if (result == ERROR_SUCCESS) result = FileSystem::MoveFileEx(backup, original, flags);
    if (result == ERROR_SUCCESS) {
      if (logging) log_event("rollback: restored " + narrow_lib(original));
      continue;
    }
    FileStatus kept;
    if (result == ERROR_FILE_NOT_FOUND && link_status(backup, kept) == ERROR_SUCCESS && !kept.exists())
      continue;  // never kept, or back already
    log_event(error_event("rollback: could not restore " + narrow_lib(original), result));
    undone_.complete = false;
    undone_.notRestored.push_back(original);
  }
}

// Outer folders first, so that each has its parent; their times come back
// with the other directories' at the end.
void Rollback::remakeRemovedDirectories() {
  for (auto it = record_.removedDirectories.rbegin(); it != record_.removedDirectories.rend(); ++it) {
    if (!liesPlainlyInside(it->first)) continue;
    const uint32_t result = FileSystem::CreateOneDirectory(record_.target + it->first, it->second);
    if (result == ERROR_SUCCESS) plainLevels_.insert(it->first);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) {
      undone_.complete = false;
      undone_.notRestored.push_back(record_.target + it->first);
    }
  }
}

// A file whose time the run set gets its old times back while it is still
// as the run left it; one changed since keeps what the user gave it.
void Rollback::restoreFileTimes() {
  for (const auto& retimed : record_.retimedFiles) {
    const std::u16string path = record_.target + retimed.first;
    FileStatus found;
    if (!liesPlainlyInside(retimed.first) || link_status(path, found) != ERROR_SUCCESS ||
        !isRunsOwnFile(retimed.first, found))
      continue;
    if (FileSystem::SetPathTimes(path, retimed.second) != ERROR_SUCCESS) {
      undone_.complete = false;
      undone_.notRestored.push_back(path);
    }
  }
}

uint32_t Rollback::keepChangedFile(const std::u16string& path) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::u16string name = kept_name(path, attempt);
    const uint32_t result = FileSystem::MoveFileEx(path, name, 0);
    if (result == ERROR_ALREADY_EXISTS) continue;
    if (result == ERROR_SUCCESS) {
      log_event("rollback: kept " + narrow_lib(path) + " as " + narrow_lib(name) +
                ": changed since it was installed");
      undone_.keptChanges.push_back(name);
    }
    return result;
  }
  return ERROR_ALREADY_EXISTS;
}

bool Rollback::isRunsOwnFile(const std::u16string& key, const FileStatus& found) {
  if (found.kind != FileKind::kRegular) return false;
  for (; record_.indexedExpected < record_.plannedExpected.size(); ++record_.indexedExpected) {
    const auto& planned = record_.plannedExpected[record_.indexedExpected];
    record_.expected[planned.first].push_back(planned.second);
  }
  auto it = record_.expected.find(key);
  if (it == record_.expected.end()) return false;
  for (const ExpectedFile& file : it->second)
    if (found.size == file.size && found.times.writeSeconds == file.writeSeconds &&
        found.times.writeNanoseconds == file.writeNanoseconds)
      return true;
  return false;
}

bool Rollback::liesPlainlyInside(const std::u16string& key) {
  size_t slash = key.find(u'/');
  while (slash != std::u16string::npos) {
    const std::u16string level = key.substr(0, slash);
    if (plainLevels_.count(level) == 0) {
      FileStatus status;
      if (link_status(record_.target + level, status) != ERROR_SUCCESS || !status.isDirectory())
        return false;
      plainLevels_.insert(level);
    }
    slash = key.find(u'/', slash + 1);
  }
  return true;
}

// A run never writes through a link below the target: what it wrote there
// would lie outside the directory, where neither a rollback nor a recovery
// may follow it (they never resolve a key through a link). Something else
// than a folder at a level is left to the folder's planning, which says so.
uint32_t Rollback::checkLevelsOnTheWay(const std::u16string& key) {
  const size_t lastSlash = key.rfind(u'/');
  if (lastSlash == std::u16string::npos) return ERROR_SUCCESS;
  const std::u16string_view folder(key.data(), lastSlash);
  if (folder == checkedFolder_) return ERROR_SUCCESS;
  // A kit's entries may go from folder to folder and back.
  std::u16string folderKey(folder);
  if (checkedFolders_.count(folderKey) != 0) {
    checkedFolder_ = std::move(folderKey);
    return ERROR_SUCCESS;
  }
  for (size_t slash = key.find(u'/'); slash != std::u16string::npos && slash <= lastSlash;
       slash = key.find(u'/', slash + 1)) {
    std::u16string level = key.substr(0, slash);
    if (plainLevels_.count(level) != 0) continue;
    FileStatus status;
    if (link_status(record_.target + level, status) != ERROR_SUCCESS || !status.exists()) break;
    if (status.kind == FileKind::kSymbolicLink) return ERROR_LINKED_FOLDER;
    if (!status.isDirectory()) break;
    plainLevels_.insert(std::move(level));
  }
  checkedFolders_.insert(folderKey);
  checkedFolder_ = std::move(folderKey);
  return ERROR_SUCCESS;
}

bool Rollback::recover(const std::u16string& target, const std::u16string& hiddenName,
                       const JournalContents& journal, const std::u16string& recordPath,
                       const RunRecord* record) {
  reset(target);
  if (!recordPath.empty() && record != nullptr) {
    runRecord_.adopt(recordPath);
    run_ = *record;
  }
  undone_ = UndoOutcome();
  lock_.release();
  // The caller holds the directory's lock; this object only needs the name.
  record_.hiddenName = hiddenName;
  record_.hidden = target + hiddenName + u"/";
  record_.backup = record_.hidden + u"b/";
  record_.haveTargetTimes = true;
  record_.targetTimes = journal.header.targetTimes;
  const std::u16string targetDir = without_trailing_separator(target);
  if (journal.committed) {
    const uint32_t removed = FileSystem::RemoveDirectory(without_trailing_separator(record_.hidden));
    if (removed != ERROR_SUCCESS || FileSystem::FlushDirectory(targetDir) != ERROR_SUCCESS) {
      undone_.complete = false;
      undone_.keptIn = record_.hidden;
    } else {
      runRecord_.remove();
    }
    runRecord_ = RunRecordFile();
    return false;
  }
  for (const JournalDirectoryTimes& entry : journal.directoryTimes) {
    const std::u16string path = entry.key.empty() ? targetDir : target + entry.key;
    if (record_.touchedKeys.insert(path).second) record_.touchedDirectories.push_back({path, entry.times});
  }
  for (const std::u16string& key : journal.createdDirectories)
    record_.createdDirectories.push_back(target + key);
  for (const std::u16string& key : journal.kept) record_.backedUpKeys.add(key);
  for (const std::u16string& key : journal.added)
    if (!record_.backedUpKeys.contains(key)) record_.addedKeys.add(key);
  for (const std::u16string& key : journal.temporaries) record_.temporaries.push_back(target + key);
  for (const auto& expected : journal.expected)
    record_.expected[expected.first] = expected.second;
  for (const JournalDirectoryTimes& entry : journal.fileTimes)
    record_.retimedFiles.push_back({entry.key, entry.times});
  record_.removedDirectories = journal.removedDirectories;
  record_.stagedFolders = journal.stagedDirectories;
  undo();
  if (undone_.complete) {
    markRolledBack();
    if (FileSystem::RemoveDirectory(without_trailing_separator(record_.hidden)) != ERROR_SUCCESS) {
      undone_.complete = false;
    } else {
      FileSystem::SetPathTimes(with_trailing_separator(targetDir), record_.targetTimes);
      if (FileSystem::FlushDirectory(targetDir) != ERROR_SUCCESS) undone_.complete = false;
    }
  }
  if (undone_.complete) {
    // The record goes whichever way the directory was reached (it may have
    // moved since); until then it brings the times back after a kill. Its
    // folder may lie in the directory too: the times are put back again.
    // A record of levels the run made stays for the start that removes them.
    const std::u16string directory = with_trailing_separator(targetDir);
    if (!runRecord_.path().empty() && run_.createdLevels.empty() &&
        runRecord_.remove() == ERROR_SUCCESS)
      FileSystem::SetPathTimes(directory, record_.targetTimes);
  }
  if (!undone_.complete) undone_.keptIn = record_.hidden;
  runRecord_ = RunRecordFile();
  return true;
}

bool Rollback::keyOf(const std::u16string& path, std::u16string& key) const {
  const std::u16string& target = record_.target;
  if (target.empty() || path.size() <= target.size() ||
      path.compare(0, target.size(), target) != 0)
    return false;
  return relative_path_key(path.substr(target.size()), key);
}

// The key under which the journal names `path`: empty for the target itself.
bool Rollback::journalKeyOf(const std::u16string& path, std::u16string& key) const {
  if (!record_.target.empty() && withoutTrailingSlashes(path) == withoutTrailingSlashes(record_.target)) {
    key.clear();
    return true;
  }
  return keyOf(path, key);
}

bool Rollback::isOwnPath(const std::u16string& path) const {
  std::u16string key;
  return keyOf(path, key) && isOwnName(key);
}

bool Rollback::isOwnName(const std::u16string& key) const {
  if (!stateFolderKey_.empty()) {
    const size_t state = stateFolderKey_.size();
    if (starts_with(key, stateFolderKey_) && (key.size() == state || key[state] == u'/')) return true;
    // Beside it, in the home directory, lie an earlier version's records.
    const size_t home = stateFolderKey_.rfind(u'/') + 1;  // 0 without a slash
    if (key.compare(0, home, stateFolderKey_, 0, home) == 0 && key.compare(home, 9, u".ovn8run-") == 0 &&
        key.find(u'/', home) == std::u16string::npos)
      return true;
  }
  // Every other name of the wizard's own begins with a dot.
  for (size_t begin = 0; begin < key.size();) {
    size_t end = key.find(u'/', begin);
    if (end == std::u16string::npos) end = key.size();
    if (key[begin] == u'.') {
      const std::u16string part = key.substr(begin, end - begin);
      if (is_run_folder_name(part) || starts_with(part, kTemporaryPrefix)) return true;
      if (begin == 0 && is_control_folder_key(part)) return true;
    }
    begin = end + 1;
  }
  return false;
}

void Rollback::journalRecord(JournalRecordType type, const std::u16string& path) {
  std::u16string key;
  if (journalKeyOf(path, key) && !key.empty()) journal_.record(type, key);
}

uint32_t Rollback::flushJournal() {
  plannedReady_.clear();
  // Without a target there is no journal.
  if (record_.target.empty()) {
    journal_.discard();
    return ERROR_SUCCESS;
  }
  if (!journal_.pending()) return ERROR_SUCCESS;
  const uint32_t result = openJournal();
  return result != ERROR_SUCCESS ? result : journal_.flush();
}

uint32_t Rollback::planFile(const std::u16string& path, const FileStatus& seen, Plan& plan) {
  if (record_.target.empty()) return ERROR_INVALID_PARAMETER;
  // Only a path below the target directory has a place in the backup
  // folder; anything else would be moved out of it.
  std::u16string key;
  if (!keyOf(path, key)) return ERROR_INVALID_NAME;
  if (isOwnName(key)) return ERROR_INVALID_NAME;
  return planFile(path, key, seen, plan);
}

uint32_t Rollback::planFile(const std::u16string& path, const std::u16string& key, const FileStatus& seen,
                            Plan& plan) {
  if (record_.target.empty()) return ERROR_INVALID_PARAMETER;
  const uint32_t levels = checkLevelsOnTheWay(key);
  if (levels != ERROR_SUCCESS) return levels;
  // A directory cannot be replaced by a file: moving it back over the
  // installed file would fail.
  if (seen.isDirectory() && !record_.backedUpKeys.contains(key) && !record_.addedKeys.contains(key))
    return ERROR_INVALID_PARAMETER;
  planKey(path, key, seen, plan);
  return ERROR_SUCCESS;
}

void Rollback::planKey(const std::u16string& path, const std::u16string& key,
                       const FileStatus& seen, Plan& plan) {
  if (record_.backedUpKeys.contains(key) || record_.addedKeys.contains(key)) {
    plan = Plan::kAgain;  // the original is already safe, or there was none
    return;
  }
  if (!seen.exists()) {
    plan = Plan::kAdd;
    return;
  }
  rememberDirectoryTimes(parent_directory(path));
  journal_.record(JournalRecordType::kKept, key);
  record_.backedUpKeys.add(key);
  plan = Plan::kKeep;
}

uint32_t Rollback::planRemoval(const std::u16string& path, const FileStatus& seen) {
  std::u16string key;
  if (record_.target.empty() || !keyOf(path, key)) return ERROR_INVALID_NAME;
  // The file was found by its path, so every level on its way leads to a
  // folder: one that is no real folder is a link.
  if (!liesPlainlyInside(key)) return ERROR_LINKED_FOLDER;
  Plan plan;
  planKey(path, key, seen, plan);
  return ERROR_SUCCESS;
}

void Rollback::planRemovedDirectory(const std::u16string& dir, const FileStatus& seen) {
  std::u16string key;
  if (!keyOf(dir, key)) return;
  rememberDirectoryTimes(parent_directory(dir));
  rememberDirectoryTimes(dir);
  record_.removedDirectories.push_back({key, seen.mode & 07777});
  journal_.removedDirectory(key, seen.mode & 07777);
}

uint32_t Rollback::removeKeptFile(const std::u16string& path) {
  bool linked = false;
  uint32_t result = keepOriginal(path, &linked);
  if (result == ERROR_SUCCESS) result = syncKeptOriginals();
  if (result == ERROR_SUCCESS && linked) result = FileSystem::DeleteFile(path);
  return result;
}

uint32_t Rollback::planTimeUpdate(const std::u16string& path, const FileStatus& seen,
                                  const ExpectedFile& expected) {
  std::u16string key;
  if (!keyOf(path, key)) return ERROR_INVALID_NAME;
  const uint32_t levels = checkLevelsOnTheWay(key);
  if (levels != ERROR_SUCCESS) return levels;
  record_.retimedFiles.push_back({key, seen.times});
  journal_.fileTimes(key, seen.times);
  planExpected(path, expected);
  return ERROR_SUCCESS;
}

// The control folder is the wizard's own, so the checks of planFile and
// planTree, which refuse it to kit entries, are not taken; everything else
// is the path of an entry's file: journal first, original kept, a whole
// temporary renamed over the place.
uint32_t Rollback::placeControlFile(const std::u16string& path, const std::string& bytes) {
  std::u16string key;
  if (record_.target.empty() || !keyOf(path, key)) return ERROR_INVALID_NAME;
  const std::u16string folder = parent_directory(path);
  FileStatus folderStatus, seen;
  uint32_t result = link_status(folder, folderStatus);
  if (result == ERROR_SUCCESS && folderStatus.exists()) result = link_status(path, seen);
  if (result != ERROR_SUCCESS) return result;
  if (folderStatus.exists() && !folderStatus.isDirectory()) return ERROR_DIRECTORY;
  if (seen.exists() && seen.kind != FileKind::kRegular) return ERROR_INVALID_PARAMETER;
  if (!folderStatus.exists()) {
    rememberDirectoryTimes(parent_directory(folder));
    journalRecord(JournalRecordType::kCreatedDirectory, folder);
    addRBCatalog(folder);
  }
  Plan plan;
  planKey(path, key, seen, plan);
  if (plan == Plan::kAdd) addRBFile(path);
  const std::u16string temporary = planTemporary(path, UINT32_MAX);
  result = flushJournal();
  if (result == ERROR_SUCCESS && !folderStatus.exists())
    result = FileSystem::CreateOneDirectory(folder, 0700);
  bool linked = false;
  if (result == ERROR_SUCCESS && plan == Plan::kKeep) result = keepOriginal(path, &linked);
  if (result == ERROR_SUCCESS) result = syncKeptOriginals();
  // The file keeps the time it was written at; the journal learns it
  // before the file takes its place.
  FileStatus written;
  if (result == ERROR_SUCCESS) result = writeControlTemporary(temporary, bytes, written);
  if (result == ERROR_SUCCESS) {
    planExpected(path, ExpectedFile{written.size, written.times.writeSeconds,
                                    written.times.writeNanoseconds});
    result = flushJournal();
  }
  if (result != ERROR_SUCCESS) return result;
  const bool replaces = plan == Plan::kAgain || linked;
  result = FileSystem::MoveFileEx(temporary, path, replaces ? uint32_t(MOVEFILE_REPLACE_EXISTING) : 0u);
  if (result == ERROR_SUCCESS) temporaryPlaced();
  return result;
}

uint32_t Rollback::writeControlTemporary(const std::u16string& temporary, const std::string& bytes,
                                         FileStatus& written) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(temporary, GENERIC_WRITE, 0, CREATE_NEW, handle);
  if (result != ERROR_SUCCESS) return result;
  result = FileSystem::SetFileMode(handle, 0600);
  if (result == ERROR_SUCCESS) result = write_all(handle, bytes);
  if (result == ERROR_SUCCESS) result = FileSystem::GetHandleStatus(handle, written);
  FileSystem::CloseHandle(handle);
  return result;
}

void Rollback::planExpected(const std::u16string& path, const ExpectedFile& file) {
  std::u16string key;
  if (keyOf(path, key)) planExpectedAt(key, file);
}

void Rollback::planExpectedAt(const std::u16string& key, const ExpectedFile& file) {
  record_.plannedExpected.emplace_back(key, file);
  journal_.expected(key, file);
}

uint32_t Rollback::keepOriginal(const std::u16string& path, bool* linked) {
  std::u16string key;
  if (!keyOf(path, key)) return ERROR_INVALID_NAME;
  const std::u16string backupPath = record_.backup + key;
  uint32_t result = makeBackupDirectoryTree(parent_directory(backupPath));
  if (result != ERROR_SUCCESS) return result;
  if (linked != nullptr) *linked = false;
  unsyncedBackupFolders_.insert(parent_directory(backupPath));
  // A second name in the backup folder keeps the original without taking it
  // from its place: the new file then replaces it in one rename, so the path
  // is never empty, and a rename of a file onto another name of itself,
  // which is what undoing this amounts to before that rename, does nothing.
  // A file system without hard links (or one that refuses a link to another
  // user's file) refuses the first one; the originals then move.
  if (linked != nullptr && linksWork_) {
    result = FileSystem::CreateHardLink(path, backupPath);
    if (result == ERROR_SUCCESS) {
      *linked = true;
      return ERROR_SUCCESS;
    }
    linksWork_ = false;
  }
  // Never a copy: the backup folder is on the target's file system, and a
  // copy would need the space that may not be there.
  result = FileSystem::MoveFileEx(path, backupPath, 0);
  if (result == ERROR_SUCCESS) return ERROR_SUCCESS;
  // "Not found" would tell the caller that no file stood there; the plan
  // says one did.
  return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND
             ? uint32_t(ERROR_INVALID_PARAMETER)
             : result;
}

// One sync of the file system for the batch instead of one per folder of
// the backup tree: on a disk each folder's sync is a journal commit, while
// the file system's sync carries the batch's kept names at once (and the
// earlier batches' data, which the final sync would write anyway).
uint32_t Rollback::syncKeptOriginals() {
  if (unsyncedBackupFolders_.empty()) return ERROR_SUCCESS;
  const uint32_t result = FileSystem::FlushFileSystem(record_.hidden);
  if (result == ERROR_SUCCESS) unsyncedBackupFolders_.clear();
  return result;
}

uint32_t Rollback::storeRBFile(const std::u16string& path, const FileStatus* seen) {
  if (record_.target.empty()) return ERROR_INVALID_PARAMETER;
  std::u16string key;
  if (!keyOf(path, key)) return ERROR_INVALID_NAME;
  FileStatus status;
  if (seen != nullptr) {
    status = *seen;
  } else {
    // A look that fails is no proof that nothing stands there.
    const uint32_t looked = link_status(path, status);
    if (looked != ERROR_SUCCESS) return looked;
  }
  Plan plan;
  uint32_t result = planFile(path, status, plan);
  if (result != ERROR_SUCCESS) return result;
  if (plan == Plan::kAgain) return ERROR_SUCCESS;
  if (plan == Plan::kAdd) return ERROR_FILE_NOT_FOUND;
  result = flushJournal();
  if (result == ERROR_SUCCESS) result = keepOriginal(path);
  if (result == ERROR_SUCCESS) result = syncKeptOriginals();
  return result;
}

uint32_t Rollback::makeDirectoryTree(const std::u16string& dir) {
  if (readyDirectories_.count(dir) != 0) return ERROR_SUCCESS;
  // Its caller uses the folder at once, under its own name.
  const bool staging = stagingNewFolders_;
  stagingNewFolders_ = false;
  uint32_t result = planDirectoryTree(dir);
  stagingNewFolders_ = staging;
  if (result == ERROR_SUCCESS) result = flushJournal();
  if (result == ERROR_SUCCESS) result = createPlannedTree(dir);
  return result;
}

uint32_t Rollback::makeBackupDirectoryTree(const std::u16string& dir) {
  return makeTree(dir, readyBackupDirectories_);
}

uint32_t Rollback::createPlannedTree(const std::u16string& dir) {
  if (readyDirectories_.count(dir) != 0) return ERROR_SUCCESS;
  const std::u16string folder = stagedLevels_.empty() ? std::u16string() : without_trailing_separator(dir);
  const size_t staged = stagedLevels_.empty() ? kNotStaged : stagingFolderOf(folder);
  if (staged == kNotStaged) return makeTree(dir, readyDirectories_);
  uint32_t result = makeStagingFolder(stagingFolders_[staged]);
  if (result == ERROR_SUCCESS) result = ensureTree(placeInStagingFolder(staged, folder));
  if (result == ERROR_SUCCESS) readyDirectories_.insert(dir);
  return result;
}

size_t Rollback::stagingFolderOf(const std::u16string& dir) const {
  const auto found = stagedLevels_.find(dir);
  return found == stagedLevels_.end() ? kNotStaged : found->second;
}

// The staging folder the file `path` is written in for now, or kNotStaged.
size_t Rollback::stagingFolderOfFile(const std::u16string& path) const {
  if (stagedLevels_.empty()) return kNotStaged;
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string::npos) return kNotStaged;
  const size_t staged = stagingFolderOf(path.substr(0, slash));
  return staged != kNotStaged && !stagingFolders_[staged].placed ? staged : kNotStaged;
}

std::u16string Rollback::placeInStagingFolder(size_t staged, const std::u16string& path) const {
  const StagingFolder& folder = stagingFolders_[staged];
  return folder.staging + path.substr(folder.path.size());
}

bool Rollback::stagedPlaceOf(const std::u16string& path, std::u16string& place) const {
  const size_t staged = stagingFolderOfFile(path);
  if (staged == kNotStaged) return false;
  place = placeInStagingFolder(staged, path);
  return true;
}

// The folder's staging name beside it: ".n8new<pid>-<run>-d<n>", which no
// temporary file's name can be.
size_t Rollback::planStagingFolder(const std::u16string& dir) {
  std::u16string key;
  if (!keyOf(dir, key)) return kNotStaged;
  StagingFolder folder;
  folder.path = dir;
  std::u16string name = kTemporaryPrefix;
  name.append(string_uito(pid_, 10)).append(u"-").append(string_uito(runNumber_, 10));
  name.append(u"-d").append(string_uito(unsigned(stagingFolders_.size()), 10));
  folder.staging = dir.substr(0, dir.rfind(u'/') + 1) + name;
  journal_.stagedDirectory(key, name);
  record_.stagedFolders.push_back({key, name});
  stagingFolders_.push_back(folder);
  return stagingFolders_.size() - 1;
}

// Made exclusively; a name found taken (another user's folder, a file) is
// left alone and a fresh one is recorded and on disk before it is used.
uint32_t Rollback::makeStagingFolder(StagingFolder& folder) {
  if (folder.made) return ERROR_SUCCESS;
  const int kTries = 4;
  for (int attempt = 0;; ++attempt) {
    const uint32_t result = FileSystem::CreateOneDirectory(folder.staging, 0700);
    if (result != ERROR_ALREADY_EXISTS || attempt == kTries) {
      folder.made = result == ERROR_SUCCESS;
      return result;
    }
    folder.staging += u"-" + string_uito(unsigned(new_run_id()), 16);
    std::u16string key;
    if (keyOf(folder.path, key)) {
      const std::u16string name = folder.staging.substr(folder.staging.rfind(u'/') + 1);
      journal_.stagedDirectory(key, name);
      record_.stagedFolders.push_back({key, name});
    }
    const uint32_t flushed = flushJournal();
    if (flushed != ERROR_SUCCESS) return flushed;
  }
}

uint32_t Rollback::placeStagedFolders(std::u16string& failedPath) {
  const uint32_t mode = 0777 & ~process_umask();
  for (StagingFolder& folder : stagingFolders_) {
    if (!folder.made || folder.placed) continue;
    uint32_t result = FileSystem::SetPathMode(folder.staging, mode);
    // Never over a folder that appeared meanwhile: it is not the run's.
    if (result == ERROR_SUCCESS) result = FileSystem::MoveFileEx(folder.staging, folder.path, 0);
    if (result != ERROR_SUCCESS) {
      if (result == ERROR_ALREADY_EXISTS) forgetCreatedTree(folder.path);
      failedPath = folder.path;
      return result;
    }
    folder.placed = true;
  }
  return ERROR_SUCCESS;
}

void Rollback::forgetCreatedTree(const std::u16string& dir) {
  auto& created = record_.createdDirectories;
  created.erase(std::remove_if(created.begin(), created.end(),
                               [&dir](const std::u16string& level) {
                                 return level == dir || (level.size() > dir.size() &&
                                                         level.compare(0, dir.size(), dir) == 0 &&
                                                         level[dir.size()] == u'/');
                               }),
                created.end());
}

uint32_t Rollback::makeTree(const std::u16string& path, std::unordered_set<std::u16string>& ready) {
  return walkUnlessReady(path, ready, &Rollback::ensureTree);
}

// A folder a walk made sure of needs no new look at the disk.
uint32_t Rollback::walkUnlessReady(const std::u16string& path, std::unordered_set<std::u16string>& ready,
                                   uint32_t (Rollback::*walk)(const std::u16string&)) {
  if (ready.count(path) != 0) return ERROR_SUCCESS;
  const uint32_t result = (this->*walk)(path);
  if (result == ERROR_SUCCESS) ready.insert(path);
  return result;
}

// One walk up to the deepest level that exists, then one walk down creating
// the missing levels: no recursion and no new path per level, so a deep
// name costs as much as its length. The one path grows and shrinks in place.
uint32_t Rollback::ensureTree(const std::u16string& path) {
  const std::u16string full = without_trailing_separator(path);
  std::u16string level = full;
  const uint32_t climbed = climbToExistingLevel(level, false);
  if (climbed != ERROR_SUCCESS) return climbed;
  FileStatus status;
  // `level` is always the first `level.size()` units of `full`.
  while (path_down_one_level(full, level)) {
    uint32_t result = FileSystem::CreateOneDirectory(level, 0777);
    if (result == ERROR_SUCCESS) {
      pendingDirectories_.erase(level);
      // A kept original's folder must reach the disk with the original.
      if (!record_.backup.empty() && level.compare(0, record_.hidden.size(), record_.hidden) == 0)
        unsyncedBackupFolders_.insert(parent_directory(level));
    }
    if (result == ERROR_ALREADY_EXISTS) {
      // Made meanwhile by someone else.
      const uint32_t looked = file_status(level, status);
      if (looked != ERROR_SUCCESS) return looked;
      if (!status.isDirectory()) return ERROR_FILE_NOT_FOUND;
      result = ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

uint32_t Rollback::climbToExistingLevel(std::u16string& level, bool planning) {
  return climb_to_level(level, [this, planning](const std::u16string& at, bool& end) {
    end = isDiskRoot(at);
    // Pending levels need no look while making: still to be made. While
    // planning they are planned levels like the others.
    if (end || (!planning && pendingDirectories_.count(at) != 0)) return uint32_t(ERROR_SUCCESS);
    end = plannedDirectories_.count(at) != 0;
    if (end) return uint32_t(ERROR_SUCCESS);
    FileStatus status;
    const uint32_t looked = file_status(at, status);
    if (looked != ERROR_SUCCESS) return looked;
    end = status.isDirectory();
    // Something other than a directory stands there: creating it fails.
    return planning && status.exists() && !end ? uint32_t(ERROR_FILE_NOT_FOUND) : uint32_t(ERROR_SUCCESS);
  });
}

uint32_t Rollback::planDirectoryTree(const std::u16string& path) {
  if (readyDirectories_.count(path) != 0) return ERROR_SUCCESS;
  // Within a batch, a folder looked at once needs no second look.
  return walkUnlessReady(path, plannedReady_, &Rollback::planTree);
}

// Records every missing level of `path` (outer ones first) before any is
// made; levels planned earlier in the batch count as made. The walks are
// those of ensureTree.
uint32_t Rollback::planTree(const std::u16string& path) {
  const std::u16string full = without_trailing_separator(path);
  std::u16string level = full;
  const uint32_t climbed = climbToExistingLevel(level, true);
  if (climbed != ERROR_SUCCESS) return climbed;
  if (level.size() == full.size()) return ERROR_SUCCESS;
  // The existing level's listing changes.
  rememberDirectoryTimes(level);
  // Levels below a planned one share its staging folder, if it has one;
  // the first level below an existing folder may start one.
  size_t staged = stagedLevels_.empty() ? kNotStaged : stagingFolderOf(level);
  const bool mayStage = stagingNewFolders_ && staged == kNotStaged && plannedDirectories_.count(level) == 0;
  while (path_down_one_level(full, level)) {
    std::u16string key;
    if (keyOf(level, key) && isOwnName(key)) return ERROR_INVALID_NAME;
    journalRecord(JournalRecordType::kCreatedDirectory, level);
    addRBCatalog(level);
    plannedDirectories_.insert(level);
    pendingDirectories_.insert(level);
    if (mayStage && staged == kNotStaged) staged = planStagingFolder(level);
    if (staged != kNotStaged) stagedLevels_.emplace(level, staged);
  }
  return ERROR_SUCCESS;
}

bool Rollback::isPlannedDirectory(const std::u16string& path) const {
  // A run into an existing tree makes none: no name is built to find that.
  if (plannedDirectories_.empty()) return false;
  return plannedDirectories_.count(without_trailing_separator(path)) != 0;
}

std::u16string Rollback::temporaryName(uint32_t index) const {
  std::u16string name = kTemporaryPrefix;
  name.append(string_uito(pid_, 10)).append(1, u'-');
  name.append(string_uito(runNumber_, 10)).append(1, u'-');
  return name.append(string_uito(index, 10));
}

std::u16string Rollback::planTemporary(const std::u16string& path, uint32_t index) {
  std::u16string key;
  if (keyOf(path, key)) return planTemporaryAt(key, index);
  // Beside a file outside the target: no key, so nothing to journal.
  record_.temporaries.push_back(parent_directory(path) + u"/" + temporaryName(index));
  return record_.temporaries.back();
}

std::u16string Rollback::planTemporaryAt(const std::u16string& key, uint32_t index) {
  // Beside the entry's file: in the folder of its key.
  const size_t slash = key.rfind(u'/');
  std::u16string temporaryKey = slash == std::u16string::npos ? std::u16string() : key.substr(0, slash + 1);
  temporaryKey += temporaryName(index);
  journal_.record(JournalRecordType::kTemporary, temporaryKey);
  record_.temporaries.push_back(record_.target + temporaryKey);
  return record_.temporaries.back();
}

void Rollback::temporaryPlaced() {
  if (record_.placedTemporaries < record_.temporaries.size()) ++record_.placedTemporaries;
}

uint32_t Rollback::freeTemporaryName(std::u16string& temporary) {
  FileStatus found;
  uint32_t result = link_status(temporary, found);
  if (result != ERROR_SUCCESS || !found.exists()) return result;
  if (found.kind == FileKind::kRegular && found.owner == uint32_t(geteuid()))
    return FileSystem::DeleteFile(temporary);
  const auto planned = std::find(record_.temporaries.begin() + record_.placedTemporaries,
                                 record_.temporaries.end(), temporary);
  if (planned == record_.temporaries.end()) return ERROR_INVALID_PARAMETER;
  const std::u16string fresh = temporary + u"-" + string_uito(unsigned(new_run_id()), 16);
  journalRecord(JournalRecordType::kTemporary, fresh);
  result = flushJournal();
  if (result != ERROR_SUCCESS) return result;
  *planned = temporary = fresh;
  return ERROR_SUCCESS;
}

void Rollback::addRBFile(const std::u16string& path) {
  std::u16string key;
  if (keyOf(path, key)) return addRBFile(path, key);
  record_.addedElsewhere.push_back(path);
  rememberDirectoryTimes(parent_directory(path));
}

void Rollback::addRBFile(const std::u16string& path, const std::u16string& key) {
  // The original of a kept file comes back by itself; recording the path
  // as added as well would delete it again.
  if (!record_.backedUpKeys.contains(key)) {
    record_.addedKeys.add(key);
    journal_.record(JournalRecordType::kAdded, key);
  }
  rememberDirectoryTimes(parent_directory(path));
}

void Rollback::removeRBFile(const std::u16string& path) {
  std::u16string key;
  if (keyOf(path, key)) {
    record_.addedKeys.removeFirst(key);
    return;
  }
  for (auto it = record_.addedElsewhere.begin(); it != record_.addedElsewhere.end(); ++it) {
    if (*it == path) {
      record_.addedElsewhere.erase(it);
      return;
    }
  }
}

void Rollback::addRBCatalog(const std::u16string& path) {
  record_.createdDirectories.push_back(path);
}

void Rollback::rememberDirectoryTimes(const std::u16string& dir) {
  if (dir.empty()) return;
  // Entries come folder by folder: most calls name the folder of the last.
  if (!record_.touchedDirectories.empty() && record_.touchedDirectories.back().path == dir) return;
  if (!record_.touchedKeys.insert(dir).second) return;
  FileStatus status;
  // A directory this run creates has no times to put back.
  if (plannedDirectories_.count(without_trailing_separator(dir)) != 0) return;
  if (link_status(dir, status) != ERROR_SUCCESS || !status.isDirectory()) return;
  record_.touchedDirectories.push_back({dir, status.times});
  std::u16string key;
  if (journalKeyOf(dir, key)) journal_.directoryTimes(key, status.times);
}

// Moving files in and out changed the modification times of the directories
// they lie in; the earliest remembered times are put back last.
void Rollback::restoreDirectoryTimes() {
  for (auto it = record_.touchedDirectories.rbegin(); it != record_.touchedDirectories.rend(); ++it)
    FileSystem::SetPathTimes(it->path, it->times);
}

// A created directory goes only when it is still a directory (not a link put
// in its place) and empty: the journal's files and subdirectories have been
// removed before it, and whatever else lies there is not this run's to delete.
void Rollback::removeCreatedDirectory(const std::u16string& dir) {
  if (FileSystem::RemoveEmptyDirectory(dir) == ERROR_SUCCESS)
    log_event("rollback: removed directory " + narrow_lib(dir));
}

void Rollback::undoStepDone() {
  if (undoLeft_ > 0) --undoLeft_;
  if (progressHook_) progressHook_(undoLeft_, undoTotal_);
}
