#include "config/launcher_file_lock.h"

#include "config/directory_util.h"
#include "platform/owned_leftovers.h"
#include "platform/path.h"

namespace {

const int kRetryMs = 10;

}  // namespace

const int LauncherFileLock::kDefaultWaitMs;

LauncherFileLock::~LauncherFileLock() { release(); }

uint32_t LauncherFileLock::acquire(const std::u16string& file, int waitMs) {
  release();
  const std::u16string folder = parent_directory(file);
  FileStatus status;
  if (!stat_path(folder, status)) FileSystem::CreateDirectory(folder);
  // Held by another wizard, or just replaced: try again until the wait is
  // over.
  uint32_t result = ERROR_SUCCESS;
  for (int waited = 0;; waited += kRetryMs) {
    result = open_and_lock(folder, GENERIC_READ, handle_, true);
    if ((result != ERROR_LOCK_VIOLATION && result != ERROR_ALREADY_EXISTS) || waited >= waitMs) break;
    Sleep(kRetryMs);
  }
  return result == ERROR_ALREADY_EXISTS ? uint32_t(ERROR_LOCK_VIOLATION) : result;
}

void LauncherFileLock::release() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  FileSystem::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}
