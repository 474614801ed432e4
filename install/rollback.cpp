#include "install/rollback.h"

#include <unistd.h>

#include "platform/file_system.h"
#include "platform/owned_leftovers.h"
#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/text.h"

namespace {

// Backup folders are "n8stp0", "n8stp1", ...; this many names are tried
// before start gives up.
const unsigned kMaxBackupFolderNumber = 100000;
// Runs of this process so far, so that temporary names of two runs differ.
unsigned g_runCounter = 0;

std::u16string first_segment(const std::u16string& key) {
  const size_t slash = key.find(u'/');
  return slash == std::u16string::npos ? key : key.substr(0, slash);
}

// Whether `key` names the hidden backup folder `hiddenName` that lies in the
// target, its journal, or anything below them: no entry may go there.
bool is_runs_own_name(const std::u16string& hiddenName, const std::u16string& key) {
  if (hiddenName.empty()) return false;
  const std::u16string first = first_segment(key);
  return first == hiddenName || first == hiddenName + u".journal";
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

Rollback::Record& Rollback::current() {
  if (records_.empty()) records_.emplace_back();
  return records_.back();
}

const Rollback::Record* Rollback::last() const {
  return records_.empty() ? nullptr : &records_.back();
}

const std::u16string& Rollback::backupDirectory() const {
  static const std::u16string kNone;
  return last() ? last()->backup : kNone;
}

const std::vector<std::u16string>& Rollback::createdDirectories() const {
  static const std::vector<std::u16string> kNone;
  return last() ? last()->createdDirectories : kNone;
}

std::vector<std::u16string> Rollback::addedFiles() const {
  std::vector<std::u16string> files;
  if (const Record* record = last()) {
    for (const std::u16string& key : record->addedKeys) files.push_back(record->target + key);
    files.insert(files.end(), record->addedElsewhere.begin(), record->addedElsewhere.end());
  }
  return files;
}

uint32_t Rollback::start(const std::u16string& target) {
  records_.emplace_back();
  readyDirectory_.clear();
  readyBackupDirectory_.clear();
  plannedDirectories_.clear();
  pendingDirectories_.clear();
  journal_.close();
  journal_.discard();
  runRecord_ = RunRecordFile();
  runNumber_ = ++g_runCounter;
  pid_ = uint32_t(getpid());
  plannedReady_.clear();
  linksWork_ = true;
  Record& record = records_.back();
  record.target = target;
  if (target.empty()) return ERROR_SUCCESS;
  return createBackupFolder(record);
}

// The run record comes first: from the moment it is on disk, a start after
// a kill finds everything this run makes. The levels of a missing target
// are made next, and the backup folder's name is claimed by creating it
// (the record names it before; a name taken by another installation makes
// the record name the next one). The journal, beside the folder, follows.
uint32_t Rollback::createBackupFolder(Record& record) {
  std::u16string temp;
  uint32_t result = FileSystem::GetTempPath(temp);
  if (result != ERROR_SUCCESS) return result;
  result = makeBackupDirectoryTree(temp);
  if (result != ERROR_SUCCESS) return result;
  const std::u16string targetDir = without_trailing_separator(record.target);

  // The target's missing levels, and the nearest one that exists.
  std::vector<std::u16string> missing;
  std::u16string existing = targetDir;
  FileStatus status;
  for (;;) {
    result = file_status(existing, status);
    if (result != ERROR_SUCCESS) return result;
    if (status.exists()) break;
    missing.insert(missing.begin(), existing);
    std::u16string parent = parent_directory(existing);
    if (parent.empty() || parent == existing) return ERROR_PATH_NOT_FOUND;
    existing = parent;
  }
  if (!status.isDirectory()) return ERROR_PATH_NOT_FOUND;
  const uint64_t targetDevice = status.device;
  if (missing.empty()) {
    record.haveTargetTimes = true;
    record.targetTimes = status.times;
  } else {
    rememberDirectoryTimes(existing);
  }

  FileStatus tempStatus;
  result = file_status(without_trailing_separator(temp), tempStatus);
  if (result != ERROR_SUCCESS) return result;
  // Keeping an original must be a rename: the backup folder goes where the
  // target's file system is.
  const bool inTemp = tempStatus.isDirectory() && tempStatus.device == targetDevice;
  const std::u16string base = inTemp ? with_trailing_separator(temp) : record.target;
  const std::u16string prefix = inTemp ? u"n8stp" : u".n8stp";

  RunRecord run;
  run.pid = uint32_t(getpid());
  run.target = record.target;
  run.targetTimes = record.targetTimes;
  run.createdLevels = missing;
  return claimBackupFolder(record, run, base, prefix);
}

uint32_t Rollback::claimBackupFolder(Record& record, RunRecord& run, const std::u16string& base,
                                     const std::u16string& prefix) {
  bool written = false;
  for (unsigned n = 0; n < kMaxBackupFolderNumber; ++n) {
    const std::u16string folder = base + prefix + string_uito(n, 10);
    // A name in use needs no attempt (nor a rewrite of the record).
    FileStatus folderStatus, journalStatus;
    if (link_status(folder, folderStatus) == ERROR_SUCCESS &&
        link_status(journal_path_of(folder), journalStatus) == ERROR_SUCCESS &&
        (folderStatus.exists() || journalStatus.exists()))
      continue;
    run.backup = folder + u"/";
    uint32_t result = written ? runRecord_.rewrite(run) : runRecord_.create(run);
    if (result != ERROR_SUCCESS) return result;
    if (!written) {
      written = true;
      // Made after the record names them, before the lock can be taken.
      for (const std::u16string& level : run.createdLevels) {
        result = FileSystem::CreateOneDirectory(level, 0777);
        if (result == ERROR_ALREADY_EXISTS) continue;
        if (result != ERROR_SUCCESS) return result;
        addRBCatalog(level);
      }
      if (!run.createdLevels.empty()) {
        FileStatus targetStatus;
        if (file_status(without_trailing_separator(record.target), targetStatus) == ERROR_SUCCESS) {
          record.haveTargetTimes = true;
          record.targetTimes = targetStatus.times;
        }
      }
    }
    // Locked while the run needs it: a start-up clean-up leaves the folder
    // of a running installation alone.
    releaseBackupLock();
    result = create_locked_directory(folder, 0700, backupLock_);
    if (result == ERROR_ALREADY_EXISTS) continue;
    if (result != ERROR_SUCCESS) return result;
    record.backup = run.backup;
    if (base == record.target) record.hiddenName = prefix + string_uito(n, 10);
    JournalHeader header;
    header.owner = runRecord_.path();
    header.target = record.target;
    header.backup = record.backup;
    result = journal_.create(journal_path_of(folder), header);
    if (result != ERROR_SUCCESS) return result;
    // The folder's name, and the names of the directories around it, must
    // survive a power cut as the journal does.
    return FileSystem::FlushDirectory(without_trailing_separator(base));
  }
  return ERROR_CANTWRITE;
}

uint32_t Rollback::stop() {
  readyDirectory_.clear();
  readyBackupDirectory_.clear();
  Record& record = current();
  if (journal_.isOpen()) {
    // Nothing is committed before the installed files and their folders are
    // on disk, and no backup goes before the commit is.
    uint32_t result = FileSystem::FlushFileSystem(record.target);
    if (result == ERROR_SUCCESS) result = journal_.commit();
    if (result != ERROR_SUCCESS) return result;
  }
  finish(record, false);
  return ERROR_SUCCESS;
}

// Deletes the backup folder, the journal and the run record, in that order
// (a kill in between leaves the journal to tell the next start what is
// left).
// A step that fails keeps what follows it: a journal without its folder's
// backups, or a record without its journal, still tells the next start.
void Rollback::finish(Record& record, bool restoreTargetTimes) {
  journal_.close();
  releaseBackupLock();
  bool gone = true;
  if (!record.backup.empty()) {
    removeDirectoryTree(record.backup);
    gone = FileSystem::GetLastError() == ERROR_SUCCESS;
    if (gone) {
      FileSystem::DeleteFile(journal_path_of(record.backup));
      gone = FileSystem::GetLastError() == ERROR_SUCCESS;
    }
  }
  // The hidden folder and the journal lay in the target itself.
  if (restoreTargetTimes && record.haveTargetTimes)
    FileSystem::SetPathTimes(without_trailing_separator(record.target), record.targetTimes);
  if (gone) runRecord_.remove();
  runRecord_ = RunRecordFile();
}

uint32_t Rollback::rollback(uint32_t code) {
  readyDirectory_.clear();
  readyBackupDirectory_.clear();
  plannedDirectories_.clear();
  pendingDirectories_.clear();
  Record& record = current();
  // A commit that may have reached the disk must be taken back first: a
  // kill during the rollback would otherwise leave a journal that says the
  // run stands. When that fails, the next start decides from the disk.
  if (journal_.uncommit() != ERROR_SUCCESS) {
    log_event("rollback: the commit cannot be taken back; the next start decides");
    releaseBackupLock();
    journal_.close();
    runRecord_ = RunRecordFile();
    return code;
  }
  if (undo(record)) {
    finish(record, true);
  } else {
    // A backup that could not be moved back stays in the folder with the
    // journal and the run record: the next start tries again.
    log_event("rollback: the backups that could not be moved back stay in " +
              narrow_lib(record.backup));
    releaseBackupLock();
    journal_.close();
    runRecord_ = RunRecordFile();
  }
  log_event("rollback: done");
  return code;
}

// The run's own files go first, then the originals come back: nothing
// deleted afterwards can be a user's file, and no created directory goes
// while a backup that belongs below it is still to be restored. Every step
// may meet its work done already (a recovery after a kill during a
// rollback or an earlier recovery). True when every original is back.
bool Rollback::undo(Record& record) {
  undoTotal_ = undoLeft_ =
      uint32_t(record.addedKeys.size() + record.addedElsewhere.size() + record.backedUpKeys.size());
  if (progressHook_) progressHook_(undoLeft_, undoTotal_);
  for (size_t i = record.placedTemporaries; i < record.temporaries.size(); ++i)
    FileSystem::DeleteFile(record.temporaries[i]);
  for (const std::u16string& key : record.addedKeys) {
    removeAddedFile(record.target + key);
    undoStepDone();
  }
  for (const std::u16string& file : record.addedElsewhere) {
    removeAddedFile(file);
    undoStepDone();
  }
  bool restored = true;
  if (!record.target.empty() && !record.backup.empty()) {
    restored = rollbackFiles(record);
    // The originals are back on disk before their backups go.
    if (restored && record.backedUpKeys.size() > 0)
      restored = FileSystem::FlushFileSystem(record.target) == ERROR_SUCCESS;
  }
  if (!record.backup.empty() && restored) removeDirectoryTree(record.backup);
  for (auto it = record.createdDirectories.rbegin(); it != record.createdDirectories.rend(); ++it)
    removeCreatedDirectory(*it);
  restoreDirectoryTimes(record);
  return restored;
}

bool Rollback::recover(const RunRecord& run, const std::u16string& recordPath,
                       const JournalContents* journal) {
  records_.emplace_back();
  Record& record = records_.back();
  record.target = run.target;
  record.backup = run.backup;
  record.haveTargetTimes = true;
  record.targetTimes = run.targetTimes;
  record.createdDirectories = run.createdLevels;
  runRecord_.adopt(recordPath);
  if (journal == nullptr) {
    // Stopped before its journal existed: at most the backup folder (still
    // empty; one that is not is another installation's) and the target's
    // levels were made.
    record.backup.clear();
    if (!run.backup.empty()) FileSystem::RemoveEmptyDirectory(without_trailing_separator(run.backup));
    for (auto it = record.createdDirectories.rbegin(); it != record.createdDirectories.rend();
         ++it)
      removeCreatedDirectory(*it);
    FileSystem::SetPathTimes(without_trailing_separator(run.target), run.targetTimes);
    runRecord_.remove();
    return false;
  }
  if (journal->committed) {
    finish(record, false);
    return false;
  }
  const std::u16string targetDir = without_trailing_separator(run.target);
  for (const JournalDirectoryTimes& entry : journal->directoryTimes) {
    const std::u16string path = entry.key.empty() ? targetDir : run.target + entry.key;
    if (record.touchedKeys.insert(path).second) record.touchedDirectories.push_back({path, entry.times});
  }
  for (const std::u16string& key : journal->createdDirectories)
    record.createdDirectories.push_back(run.target + key);
  for (const std::u16string& key : journal->kept) record.backedUpKeys.add(key);
  for (const std::u16string& key : journal->added)
    if (!record.backedUpKeys.contains(key)) record.addedKeys.add(key);
  for (const std::u16string& key : journal->temporaries)
    record.temporaries.push_back(run.target + key);
  if (undo(record)) finish(record, true);
  return true;
}

bool Rollback::keyOf(const Record& record, const std::u16string& path,
                     std::u16string& key) const {
  if (record.target.empty() || path.size() <= record.target.size() ||
      path.compare(0, record.target.size(), record.target) != 0)
    return false;
  return relative_path_key(path.substr(record.target.size()), key);
}

// The key under which the journal names `path`: empty for the target itself.
bool Rollback::journalKeyOf(const Record& record, const std::u16string& path,
                            std::u16string& key) const {
  if (!record.target.empty() &&
      without_trailing_separator(path) == without_trailing_separator(record.target)) {
    key.clear();
    return true;
  }
  return keyOf(record, path, key);
}

void Rollback::journalRecord(JournalRecordType type, const std::u16string& path) {
  std::u16string key;
  if (journalKeyOf(current(), path, key) && !key.empty()) journal_.record(type, key);
}

uint32_t Rollback::flushJournal() {
  plannedReady_.clear();
  if (!journal_.isOpen()) {
    // Without a target there is no journal; a started run must have one.
    const Record* record = last();
    if (record == nullptr || record->backup.empty()) {
      journal_.discard();
      return ERROR_SUCCESS;
    }
  }
  return journal_.flush();
}

uint32_t Rollback::planFile(const std::u16string& path, const FileStatus& seen, Plan& plan) {
  Record& record = current();
  if (record.backup.empty()) return ERROR_INVALID_PARAMETER;
  // Only a path below the target directory has a place in the backup
  // folder; anything else would be moved out of it.
  std::u16string key;
  if (!keyOf(record, path, key)) return ERROR_INVALID_NAME;
  if (is_runs_own_name(record.hiddenName, key)) return ERROR_INVALID_NAME;
  if (record.backedUpKeys.contains(key) || record.addedKeys.contains(key)) {
    plan = Plan::kAgain;  // the original is already safe, or there was none
    return ERROR_SUCCESS;
  }
  if (!seen.exists()) {
    plan = Plan::kAdd;
    return ERROR_SUCCESS;
  }
  // A directory cannot be replaced by a file: moving it back over the
  // installed file would fail.
  if (seen.isDirectory()) return ERROR_INVALID_PARAMETER;
  rememberDirectoryTimes(parent_directory(path));
  journal_.record(JournalRecordType::kKept, key);
  record.backedUpKeys.add(key);
  plan = Plan::kKeep;
  return ERROR_SUCCESS;
}

uint32_t Rollback::keepOriginal(const std::u16string& path, bool* linked) {
  Record& record = current();
  std::u16string key;
  if (!keyOf(record, path, key)) return ERROR_INVALID_NAME;
  const std::u16string backupPath = record.backup + key;
  uint32_t result = makeBackupDirectoryTree(parent_directory(backupPath));
  if (result != ERROR_SUCCESS) return result;
  if (linked != nullptr) *linked = false;
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

uint32_t Rollback::storeRBFile(const std::u16string& path, const FileStatus* seen) {
  Record& record = current();
  if (record.backup.empty()) return ERROR_INVALID_PARAMETER;
  std::u16string key;
  if (!keyOf(record, path, key)) return ERROR_INVALID_NAME;
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
  return result;
}

uint32_t Rollback::makeDirectoryTree(const std::u16string& dir) {
  if (!readyDirectory_.empty() && dir == readyDirectory_) return ERROR_SUCCESS;
  uint32_t result = planDirectoryTree(dir);
  if (result == ERROR_SUCCESS) result = flushJournal();
  if (result == ERROR_SUCCESS) result = createPlannedTree(dir);
  return result;
}

uint32_t Rollback::makeBackupDirectoryTree(const std::u16string& dir) {
  return makeTree(dir, readyBackupDirectory_);
}

uint32_t Rollback::createPlannedTree(const std::u16string& dir) {
  return makeTree(dir, readyDirectory_);
}

uint32_t Rollback::makeTree(const std::u16string& path, std::u16string& ready) {
  return walkUnlessReady(path, ready, &Rollback::ensureTree);
}

// Entries come folder by folder: the folder a walk made sure of last time
// needs no new look at the disk.
uint32_t Rollback::walkUnlessReady(const std::u16string& path, std::u16string& ready,
                                   uint32_t (Rollback::*walk)(const std::u16string&)) {
  if (!ready.empty() && path == ready) return ERROR_SUCCESS;
  const uint32_t result = (this->*walk)(path);
  if (result == ERROR_SUCCESS) ready = path;
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
    if (result == ERROR_SUCCESS) pendingDirectories_.erase(level);
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
  for (;;) {
    if (isDiskRoot(level)) return ERROR_SUCCESS;
    // Pending levels need no look while making: still to be made. While
    // planning they are planned levels like the others.
    if (planning || pendingDirectories_.count(level) == 0) {
      if (plannedDirectories_.count(level) != 0) return ERROR_SUCCESS;
      FileStatus status;
      const uint32_t looked = file_status(level, status);
      if (looked != ERROR_SUCCESS) return looked;
      if (status.isDirectory()) return ERROR_SUCCESS;
      // Something other than a directory stands there: creating it fails.
      if (planning && status.exists()) return ERROR_FILE_NOT_FOUND;
    }
    if (!path_up_one_level(level)) return ERROR_PATH_NOT_FOUND;
  }
}

uint32_t Rollback::planDirectoryTree(const std::u16string& path) {
  if (!readyDirectory_.empty() && path == readyDirectory_) return ERROR_SUCCESS;
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
  Record& record = current();
  while (path_down_one_level(full, level)) {
    std::u16string key;
    if (!record.hiddenName.empty() && keyOf(record, level, key) &&
        is_runs_own_name(record.hiddenName, key))
      return ERROR_INVALID_NAME;
    journalRecord(JournalRecordType::kCreatedDirectory, level);
    addRBCatalog(level);
    plannedDirectories_.insert(level);
    pendingDirectories_.insert(level);
  }
  return ERROR_SUCCESS;
}

bool Rollback::isPlannedDirectory(const std::u16string& path) const {
  return plannedDirectories_.count(without_trailing_separator(path)) != 0;
}

std::u16string Rollback::planTemporary(const std::u16string& path, uint32_t index) {
  const std::u16string temporary = parent_directory(path) + u"/.n8new" +
                                   string_uito(pid_, 10) + u"-" +
                                   string_uito(runNumber_, 10) + u"-" + string_uito(index, 10);
  journalRecord(JournalRecordType::kTemporary, temporary);
  current().temporaries.push_back(temporary);
  return temporary;
}

void Rollback::temporaryPlaced() {
  Record& record = current();
  if (record.placedTemporaries < record.temporaries.size()) ++record.placedTemporaries;
}

void Rollback::addRBFile(const std::u16string& path) {
  Record& record = current();
  std::u16string key;
  if (!keyOf(record, path, key)) {
    record.addedElsewhere.push_back(path);
  } else if (!record.backedUpKeys.contains(key)) {
    // The original of a kept file comes back by itself; recording the path
    // as added as well would delete it again.
    record.addedKeys.add(key);
    journal_.record(JournalRecordType::kAdded, key);
  }
  rememberDirectoryTimes(parent_directory(path));
}

void Rollback::removeRBFile(const std::u16string& path) {
  Record& record = current();
  std::u16string key;
  if (keyOf(record, path, key)) {
    record.addedKeys.removeFirst(key);
    return;
  }
  for (auto it = record.addedElsewhere.begin(); it != record.addedElsewhere.end(); ++it) {
    if (*it == path) {
      record.addedElsewhere.erase(it);
      return;
    }
  }
}

void Rollback::addRBCatalog(const std::u16string& path) {
  current().createdDirectories.push_back(path);
}

void Rollback::rememberDirectoryTimes(const std::u16string& dir) {
  if (dir.empty()) return;
  Record& record = current();
  // Entries come folder by folder: most calls name the folder of the last.
  if (!record.touchedDirectories.empty() && record.touchedDirectories.back().path == dir) return;
  if (!record.touchedKeys.insert(dir).second) return;
  FileStatus status;
  // A directory this run creates has no times to put back.
  if (plannedDirectories_.count(without_trailing_separator(dir)) != 0) return;
  if (link_status(dir, status) != ERROR_SUCCESS || !status.isDirectory()) return;
  record.touchedDirectories.push_back({dir, status.times});
  std::u16string key;
  if (journalKeyOf(record, dir, key)) journal_.directoryTimes(key, status.times);
}

// Moving files in and out changed the modification times of the directories
// they lie in; the earliest remembered times are put back last.
void Rollback::restoreDirectoryTimes(const Record& record) {
  for (auto it = record.touchedDirectories.rbegin(); it != record.touchedDirectories.rend();
       ++it) {
    FileSystem::SetPathTimes(it->path, it->times);
  }
}

// Moves every file (or link) that the journal kept back to its place in the
// target, replacing what the installation wrote there. The backup folder
// mirrors the target, so each file's two places follow from its key. A
// backup that is not there was never made or is back already. False when a
// file could not be moved back.
bool Rollback::rollbackFiles(const Record& record) {
  bool restored = true;
  const bool logging = run_log().isOpen();
  for (const std::u16string& key : record.backedUpKeys) {
    const std::u16string backup = record.backup + key;
    const std::u16string original = record.target + key;
    const uint32_t result = FileSystem::MoveFileEx(
        backup, original, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    undoStepDone();
    if (result == ERROR_SUCCESS) {
      if (logging) log_event("rollback: restored " + narrow_lib(original));
      continue;
    }
    FileStatus status;
    if (result == ERROR_FILE_NOT_FOUND && link_status(backup, status) == ERROR_SUCCESS &&
        !status.exists())
      continue;
    log_event(error_event("rollback: could not restore " + narrow_lib(original), result));
    restored = false;
  }
  return restored;
}

// Deletes `dir` with its content; the file layer removes the whole tree and
// deletes links without following them.
void Rollback::removeDirectoryTree(const std::u16string& dir) {
  if (!dir.empty()) FileSystem::RemoveDirectory(without_trailing_separator(dir));
}

// A created directory goes only when it is still a directory (not a link put
// in its place) and empty: the journal's files and subdirectories have been
// removed before it, and whatever else lies there is not this run's to delete.
void Rollback::removeCreatedDirectory(const std::u16string& dir) {
  if (FileSystem::RemoveEmptyDirectory(dir) == ERROR_SUCCESS)
    log_event("rollback: removed directory " + narrow_lib(dir));
}

// A file this run wrote where none stood before.
void Rollback::removeAddedFile(const std::u16string& path) {
  const uint32_t result = FileSystem::DeleteFile(path);
  if (result == ERROR_SUCCESS) {
    if (run_log().isOpen()) log_event("rollback: removed " + narrow_lib(path));
  } else if (result != ERROR_FILE_NOT_FOUND) {
    log_event(error_event("rollback: could not remove " + narrow_lib(path), result));
  }
}

void Rollback::undoStepDone() {
  if (undoLeft_ > 0) --undoLeft_;
  if (progressHook_) progressHook_(undoLeft_, undoTotal_);
}
