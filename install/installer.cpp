#include "install/installer.h"

#include "install/install_paths.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "resources/lang.h"

namespace {

uint64_t as_uint64(const _FILETIME& time) {
  return uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

bool is_missing(uint32_t backupResult) {
  return backupResult == ERROR_FILE_NOT_FOUND || backupResult == ERROR_PATH_NOT_FOUND;
}

}  // namespace

const int Installer::kDefaultFinalPauseMs;

Installer::Installer(int finalPauseMs)
    : data_(nullptr), finalPauseMs_(finalPauseMs), seen_(Seen::kUnknown), lastStatus_() {}

uint32_t Installer::run(InstallProcessData* data) {
  data_ = data;
  KitReader* kit = nullptr;
  std::u16string directory;
  data_->get(kit, directory);
  uint32_t result = rollback_.start(directory);
  if (result != ERROR_SUCCESS) {
    log_event(error_event("error " + narrow_lib(directory) + ": the journal cannot be started", result));
    return stopOnError(result, 0);
  }
  // Without a kit or a directory there is nothing to install into.
  if (kit == nullptr || directory.empty()) return stopOnError(ERROR_INVALID_PARAMETER, 0);

  // Every destination must be a path the system can use before anything
  // is replaced; a name that only fails deep inside the tree would leave
  // the run half done.
  result = checkDestinationLengths(*kit, directory);
  if (result != ERROR_SUCCESS) return stopOnError(result, 0);

  const size_t count = kit->entries.size();
  log_event("install " + std::to_string(count) + " entries into " + narrow_lib(directory));
  for (size_t i = 0; i < count; ++i) {
    // Asked before every entry, also one that is then skipped: a confirmed
    // cancel must never end as a success.
    if (data_->isCancelled()) return cancel();
    const config::KitEntry& entry = kit->entries[i];
    std::u16string name = entry.name;
    replace_all(name, kBadPathSeparator, kPathSeparator);
    const std::u16string path = directory + name;
    const uint32_t percent = uint32_t(uint64_t(i) * 100 / count);
    data_->setInstallState(0, path, int(percent));
    // The reader refuses such names when it opens a kit; a reader filled
    // another way must not write outside the directory either.
    if (!config::isSafeEntryName(name)) return failEntry(path, ERROR_INVALID_NAME, percent);
    if (!compareFiles(path, entry.lastWriteTime)) {
      log_event((existingNewer_ ? "kept " : "skipped ") + narrow_lib(path) +
                (existingNewer_ ? ": newer than the kit's entry" : ": up to date"));
      continue;
    }
    if (lookError_ != ERROR_SUCCESS) return failEntry(path, lookError_, percent);
    bool replaced = false;
    result = installEntry(*kit, uint32_t(i), path, &replaced);
    if (result != ERROR_SUCCESS) return failEntry(path, result, percent);
    log_event((replaced ? "replaced " : "installed ") + narrow_lib(path));
  }
  if (data_->isCancelled()) return cancel();

  rollback_.stop();
  log_event("installed all " + std::to_string(count) + " entries into " + narrow_lib(directory));
  data_->setInstallState(0, LoadResString("IDS_INSTALL_FINISH"), 100);
  if (finalPauseMs_ > 0) Sleep(finalPauseMs_);
  return ERROR_SUCCESS;
}

uint32_t Installer::cancel() {
  log_event("cancelled by the user; rolling back");
  return rollback_.rollback(ERROR_CANCELLED);
}

// The longest destination, the directory followed by a name, narrowed.
uint32_t Installer::checkDestinationLengths(const KitReader& kit, const std::u16string& directory) {
  const size_t directoryBytes = config::narrowedLength(directory.data(), directory.size());
  for (const config::KitEntry& entry : kit.entries) {
    if (directoryBytes + config::narrowedLength(entry.name.data(), entry.name.size()) >
        config::kMaxPathBytes)
      return ERROR_FILENAME_EXCED_RANGE;
  }
  return ERROR_SUCCESS;
}

// Keeps the file that stands at `path` (or records that none did), makes its
// directory and writes the entry.
uint32_t Installer::installEntry(KitReader& kit, uint32_t index, const std::u16string& path,
                                 bool* replaced) {
  // What compareFiles has just seen at the path need not be looked at again:
  // where nothing stands, there is nothing to keep.
  uint32_t result = seen_ == Seen::kNothing ? ERROR_FILE_NOT_FOUND
                    : seen_ == Seen::kStatus ? rollback_.storeRBFile(path, &lastStatus_)
                                             : rollback_.storeRBFile(path);
  if (is_missing(result))
    rollback_.addRBFile(path);
  else if (result != ERROR_SUCCESS)
    return result;
  else
    *replaced = true;
  result = rollback_.makeDirectoryTree(parent_directory(path));
  if (result != ERROR_SUCCESS) return result;
  return kit.copy(index, path);
}

// The file's status tells what opening it and asking its time would: a
// missing file is written, an existing one when it is older than the entry
// or cannot be read. Nothing is opened, so a FIFO at that place cannot block
// the run. When nothing at all stands at the path (not even a dangling
// link), the run need not look again before writing.
bool Installer::compareFiles(const std::u16string& path, const _FILETIME& entryTime) {
  seen_ = Seen::kUnknown;
  existingNewer_ = false;
  lookError_ = link_status(path, lastStatus_);
  if (lookError_ != ERROR_SUCCESS) return true;
  if (!lastStatus_.exists()) {
    seen_ = Seen::kNothing;
    return true;
  }
  seen_ = Seen::kStatus;
  FileStatus status = lastStatus_;
  if (status.kind == FileKind::kSymbolicLink) {
    lookError_ = file_status(path, status);
    if (lookError_ != ERROR_SUCCESS || !status.exists()) return true;
  }
  // A folder where the entry's file goes can never be brought up to date,
  // whatever its time: skipping it would report a file as installed that
  // is not there.
  if (status.isDirectory()) {
    lookError_ = ERROR_DIRECTORY;
    return true;
  }
  const uint64_t fileTime = as_uint64(EpochToFileTime(status.times.writeSeconds));
  if (as_uint64(entryTime) > fileTime) return true;
  existingNewer_ = as_uint64(entryTime) < fileTime;
  return FileSystem::CheckAccess(path, FILE_ACCESS_READ) != ERROR_SUCCESS;
}

uint32_t Installer::failEntry(const std::u16string& path, uint32_t code, uint32_t percent) {
  log_event(error_event("error " + narrow_lib(path), code) + "; rolling back");
  return stopOnError(code, percent);
}

uint32_t Installer::stopOnError(uint32_t code, uint32_t percent) {
  if (data_ != nullptr)
    data_->setInstallState(code, LoadResString("IDS_INSTALL_ERROR"), int(percent));
  return rollback_.rollback(code);
}
