#include "install/target_lock.h"

#include "platform/existing_level.h"
#include "platform/owned_leftovers.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

// A directory that is replaced between the open and the lock (removed by a
// run's rollback and made again by another wizard) is locked afresh; after
// this many tries the lock gives up.
const int kLockTries = 4;

// A folder above the directory that cannot be opened (no read permission)
// cannot take part; the directory's own lock still guards it.
uint32_t lock_shared(const std::u16string& path, HANDLE& handle) {
  handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return ERROR_SUCCESS;
  result = FileSystem::LockFileEx(handle, LOCKFILE_FAIL_IMMEDIATELY, 0, 0xFFFFFFFFu, 0xFFFFFFFFu,
                                  nullptr);
  if (result == ERROR_SUCCESS) return result;
  FileSystem::CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  return result == ERROR_LOCK_VIOLATION ? result : ERROR_SUCCESS;
}

}  // namespace

TargetLock::~TargetLock() { release(); }

uint32_t TargetLock::acquire(const std::u16string& directory) {
  release();
  missing_.clear();
  existing_ = FileStatus();
  directory_ = without_trailing_separator(directory, PathSeparators::kSlashAndBackslash);
  if (directory_.empty()) return ERROR_PATH_NOT_FOUND;
  std::u16string level;
  const uint32_t looked = nearest_existing_level(directory_, level, existing_);
  if (looked != ERROR_SUCCESS) return looked;
  // A relative name without "/" ends in ".", which is not a level of it.
  if (directory_.compare(0, level.size(), level) != 0) return ERROR_PATH_NOT_FOUND;
  for (std::u16string missing = level; path_down_one_level(directory_, missing);)
    missing_.push_back(missing);
  if (!existing_.isDirectory()) return missing_.empty() ? ERROR_DIRECTORY : ERROR_NOT_A_FOLDER;
  uint32_t result = lockAncestors(level, !missing_.empty());
  if (result == ERROR_SUCCESS && missing_.empty()) result = lockDirectory(directory_);
  if (result != ERROR_SUCCESS) release();
  return result;
}

uint32_t TargetLock::lockCreated() {
  if (held()) return ERROR_SUCCESS;
  return lockDirectory(directory_);
}

// The folders from the root down to `existingLevel` (itself only when the
// directory lies below it), along its real path.
uint32_t TargetLock::lockAncestors(const std::u16string& existingLevel, bool includeItself) {
  std::u16string real;
  uint32_t result = FileSystem::GetFinalPathName(existingLevel, real);
  if (result != ERROR_SUCCESS) return result;
  std::vector<std::u16string> levels;
  if (includeItself) levels.push_back(real);
  for (std::u16string level = real; level != u"/" && path_up_one_level(level);)
    levels.push_back(level);
  for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    result = lock_shared(*it, handle);
    if (result != ERROR_SUCCESS) return result;
    if (handle != INVALID_HANDLE_VALUE) ancestors_.push_back(handle);
  }
  return ERROR_SUCCESS;
}

// 183 from open_and_lock asks for another try: the directory was replaced
// meanwhile.
uint32_t TargetLock::lockDirectory(const std::u16string& path) {
  uint32_t result = ERROR_LOCK_VIOLATION;
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    FileStatus status;
    result = file_status(path, status);
    if (result != ERROR_SUCCESS) return result;
    if (!status.isDirectory()) return status.exists() ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    result = open_and_lock(path, GENERIC_READ, handle_, true);
    if (result != ERROR_ALREADY_EXISTS) return result;
  }
  return ERROR_LOCK_VIOLATION;
}

void TargetLock::release() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    FileSystem::UnlockFileEx(handle_, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, nullptr);
    FileSystem::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  for (HANDLE handle : ancestors_) FileSystem::CloseHandle(handle);
  ancestors_.clear();
}

bool target_is_busy(const std::u16string& directory) {
  TargetLock lock;
  return lock.acquire(directory) == ERROR_LOCK_VIOLATION;
}
