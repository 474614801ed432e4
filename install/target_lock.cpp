#include "install/target_lock.h"

#include "platform/owned_leftovers.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

// A directory that is replaced between the open and the lock (removed by a
// run's rollback and made again by another wizard) is locked afresh; after
// this many tries the lock gives up.
const int kLockTries = 4;

}  // namespace

TargetLock::~TargetLock() { release(); }

uint32_t TargetLock::acquire(const std::u16string& directory) {
  release();
  created_.clear();
  directory_ = without_trailing_separator(directory, PathSeparators::kSlashAndBackslash);
  if (directory_.empty()) return ERROR_PATH_NOT_FOUND;
  uint32_t result = createMissingLevels(directory_);
  if (result != ERROR_SUCCESS) return result;
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    result = lockExisting(directory_);
    if (result != ERROR_ALREADY_EXISTS) return result;
  }
  return ERROR_LOCK_VIOLATION;
}

// Outer levels first, each made by exactly one call, so that a level that
// another wizard made at the same moment is not taken for ours.
uint32_t TargetLock::createMissingLevels(const std::u16string& directory) {
  std::vector<std::u16string> missing;
  std::u16string level = directory;
  while (!level.empty() && !isDiskRoot(level)) {
    FileStatus status;
    const uint32_t looked = file_status(level, status);
    if (looked != ERROR_SUCCESS) return looked;
    if (status.exists()) {
      if (!status.isDirectory()) return ERROR_PATH_NOT_FOUND;
      break;
    }
    missing.push_back(level);
    level = parent_directory(level);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const uint32_t result = FileSystem::CreateOneDirectory(*it, 0777);
    if (result == ERROR_ALREADY_EXISTS) continue;
    if (result != ERROR_SUCCESS) return result;
    created_.push_back(*it);
  }
  return ERROR_SUCCESS;
}

// 183 asks for another try: the directory was replaced meanwhile.
uint32_t TargetLock::lockExisting(const std::u16string& directory) {
  FileStatus status;
  uint32_t result = file_status(directory, status);
  if (result != ERROR_SUCCESS) return result;
  if (!status.isDirectory()) return ERROR_PATH_NOT_FOUND;
  return open_and_lock(directory, GENERIC_READ, handle_, true);
}

void TargetLock::release() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  FileSystem::UnlockFileEx(handle_, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, nullptr);
  FileSystem::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void TargetLock::removeCreatedDirectories() {
  for (auto it = created_.rbegin(); it != created_.rend(); ++it)
    if (FileSystem::RemoveEmptyDirectory(*it) != ERROR_SUCCESS) break;
  created_.clear();
}
