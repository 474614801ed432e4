#include "install/rollback.h"

#include "install/install_paths.h"
#include "platform/file_system.h"
#include "platform/owned_leftovers.h"
#include "platform/run_log.h"
#include "platform/text.h"

namespace {

// Backup folders are "n8stp0", "n8stp1", ...; this many names are tried
// before start gives up.
const unsigned kMaxBackupFolderNumber = 100000;
std::u16string with_trailing_separator(const std::u16string& dir) {
  if (!dir.empty() && dir.back() != u'/' && dir.back() != u'\\') return dir + u"/";
  return dir;
}

}  // namespace

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
  Record& record = records_.back();
  record.target = target;
  if (target.empty()) return ERROR_SUCCESS;
  return createBackupFolder(record);
}

// The backup folder must belong to this run alone: the name is claimed by
// creating the directory, and a name that exists already (made by another
// installation, even one that started at the same moment) moves on to the
// next number.
uint32_t Rollback::createBackupFolder(Record& record) {
  std::u16string temp;
  uint32_t result = FileSystem::GetTempPath(temp);
  if (result != ERROR_SUCCESS) return result;
  result = makeDirectoryTree(temp);
  if (result != ERROR_SUCCESS) return result;
  std::u16string base = with_trailing_separator(temp);
  for (unsigned n = 0; n < kMaxBackupFolderNumber; ++n) {
    std::u16string folder = base + u"n8stp" + string_uito(n, 10);
    // Locked while the run needs it: a start-up clean-up leaves the folder
    // of a running installation alone.
    releaseBackupLock();
    result = create_locked_directory(folder, 0700, backupLock_);
    if (result == ERROR_ALREADY_EXISTS) continue;
    if (result == ERROR_SUCCESS) record.backup = folder + u"/";
    return result;
  }
  return ERROR_CANTWRITE;
}

void Rollback::stop() {
  readyDirectory_.clear();
  readyBackupDirectory_.clear();
  const Record* record = last();
  // Unlocked first: what is left in the folder is of no use to anyone, and
  // a clean-up that takes it meanwhile only helps.
  releaseBackupLock();
  if (record != nullptr && !record->backup.empty()) removeDirectoryTree(record->backup);
}

Rollback::~Rollback() { releaseBackupLock(); }

void Rollback::releaseBackupLock() {
  if (backupLock_ == INVALID_HANDLE_VALUE) return;
  FileSystem::CloseHandle(backupLock_);
  backupLock_ = INVALID_HANDLE_VALUE;
}

uint32_t Rollback::rollback(uint32_t code) {
  readyDirectory_.clear();
  readyBackupDirectory_.clear();
  Record& record = current();
  // The run's own files go first, then the originals come back: nothing
  // deleted afterwards can be a user's file, and no created directory goes
  // while a backup that belongs below it is still to be restored.
  for (const std::u16string& key : record.addedKeys) removeAddedFile(record.target + key);
  for (const std::u16string& file : record.addedElsewhere) removeAddedFile(file);
  bool restored = true;
  if (!record.target.empty() && !record.backup.empty())
    restored = rollbackFiles(record);
  // A backup that could not be moved back stays in the folder, so the user
  // can still find it there (the start-up clean-up keeps a folder that
  // holds a file).
  releaseBackupLock();
  if (!record.backup.empty() && restored) removeDirectoryTree(record.backup);
  if (!restored)
    log_event("rollback: the backups that could not be moved back stay in " +
              narrow_lib(record.backup));
  for (auto it = record.createdDirectories.rbegin(); it != record.createdDirectories.rend(); ++it)
    removeCreatedDirectory(*it);
  restoreDirectoryTimes(record);
  log_event("rollback: done");
  return code;
}

bool Rollback::keyOf(const Record& record, const std::u16string& path,
                     std::u16string& key) const {
  if (record.target.empty() || path.size() <= record.target.size() ||
      path.compare(0, record.target.size(), record.target) != 0)
    return false;
  return relative_path_key(path.substr(record.target.size()), key);
}

uint32_t Rollback::storeRBFile(const std::u16string& path, const FileStatus* seen) {
  Record& record = current();
  if (record.backup.empty()) return ERROR_INVALID_PARAMETER;
  // Only a path below the target directory has a place in the backup
  // folder; anything else would be moved out of it.
  std::u16string key;
  if (!keyOf(record, path, key)) return ERROR_INVALID_NAME;
  if (record.backedUpKeys.contains(key) || record.addedKeys.contains(key))
    return ERROR_SUCCESS;  // the original is already safe, or there was none
  FileStatus status;
  if (seen != nullptr) {
    status = *seen;
  } else {
    // A look that fails is no proof that nothing stands there.
    const uint32_t looked = link_status(path, status);
    if (looked != ERROR_SUCCESS) return looked;
    if (!status.exists()) return ERROR_FILE_NOT_FOUND;
  }
  // A directory cannot be replaced by a file: moving it back over the
  // installed file would fail.
  if (status.isDirectory()) return ERROR_INVALID_PARAMETER;
  std::u16string backupPath = record.backup + key;
  uint32_t result = makeBackupDirectoryTree(parent_directory(backupPath));
  if (result == ERROR_SUCCESS) {
    rememberDirectoryTimes(parent_directory(path));
    result = FileSystem::MoveFile(path, backupPath);
  }
  if (result == ERROR_SUCCESS) record.backedUpKeys.add(key);
  // "Not found" tells the caller that no file stood there and lets it write
  // over the path unguarded: say so only when the file is really gone.
  if ((result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) &&
      (link_status(path, status) != ERROR_SUCCESS || status.exists()))
    return ERROR_INVALID_PARAMETER;
  return result;
}

uint32_t Rollback::makeDirectoryTree(const std::u16string& dir) {
  return makeTree(dir, true);
}

uint32_t Rollback::makeBackupDirectoryTree(const std::u16string& dir) {
  return makeTree(dir, false);
}

uint32_t Rollback::makeTree(const std::u16string& path, bool record) {
  // Entries come folder by folder: the folder made sure of last time needs
  // no new look at the disk.
  std::u16string& ready = record ? readyDirectory_ : readyBackupDirectory_;
  if (!ready.empty() && path == ready) return ERROR_SUCCESS;
  const uint32_t result = ensureTree(path, record);
  if (result == ERROR_SUCCESS) ready = path;
  return result;
}

// One walk up to the deepest level that exists, then one walk down creating
// the missing levels: no recursion and no new path per level, so a deep
// name costs as much as its length. The one path grows and shrinks in place.
uint32_t Rollback::ensureTree(const std::u16string& path, bool record) {
  std::u16string level = without_trailing_separator(path);
  const size_t fullLength = level.size();
  FileStatus status;
  for (;;) {
    if (isDiskRoot(level)) break;
    const uint32_t looked = file_status(level, status);
    if (looked != ERROR_SUCCESS) return looked;
    if (status.isDirectory()) break;
    const size_t slash = level.rfind(u'/');
    if (slash == std::u16string::npos) return ERROR_PATH_NOT_FOUND;
    level.resize(slash == 0 ? 1 : slash);
  }
  if (level.size() == fullLength) return ERROR_SUCCESS;
  // The existing level's listing changes; levels made below it go away as
  // a whole on rollback.
  if (record) rememberDirectoryTimes(level);
  const std::u16string full = without_trailing_separator(path);
  // `level` is always the first `level.size()` units of `full`.
  while (level.size() < fullLength) {
    size_t start = level.size();
    while (start < fullLength && full[start] == u'/') ++start;
    size_t end = full.find(u'/', start);
    if (end == std::u16string::npos) end = fullLength;
    level.append(full, level.size(), end - level.size());
    if (start == end) continue;
    uint32_t result = FileSystem::CreateOneDirectory(level, 0777);
    if (result == ERROR_ALREADY_EXISTS) {
      // Made meanwhile by someone else: not this run's to remove.
      const uint32_t looked = file_status(level, status);
      if (looked != ERROR_SUCCESS) return looked;
      if (!status.isDirectory()) return ERROR_FILE_NOT_FOUND;
      result = ERROR_SUCCESS;
    } else if (result == ERROR_SUCCESS && record) {
      addRBCatalog(level);
    }
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
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
  if (link_status(dir, status) != ERROR_SUCCESS || !status.isDirectory()) return;
  record.touchedDirectories.push_back({dir, status.times});
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
// mirrors the target, so each file's two places follow from its key. False
// when a file could not be moved back.
bool Rollback::rollbackFiles(const Record& record) {
  bool restored = true;
  for (const std::u16string& key : record.backedUpKeys) {
    const uint32_t result = FileSystem::MoveFile(record.backup + key, record.target + key);
    const std::string path = narrow_lib(record.target + key);
    if (result == ERROR_SUCCESS) {
      log_event("rollback: restored " + path);
    } else {
      log_event(error_event("rollback: could not restore " + path, result));
      restored = false;
    }
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
  if (result == ERROR_SUCCESS)
    log_event("rollback: removed " + narrow_lib(path));
  else if (result != ERROR_FILE_NOT_FOUND)
    log_event(error_event("rollback: could not remove " + narrow_lib(path), result));
}
