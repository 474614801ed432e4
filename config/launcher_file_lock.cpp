#include "config/launcher_file_lock.h"

#include "config/directory_util.h"
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
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(folder, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return result;
  for (int waited = 0;; waited += kRetryMs) {
    result = FileSystem::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                    0xFFFFFFFFu, 0xFFFFFFFFu, nullptr);
    if (result != ERROR_LOCK_VIOLATION || waited >= waitMs) break;
    Sleep(kRetryMs);
  }
  if (result != ERROR_SUCCESS) {
    FileSystem::CloseHandle(handle);
    return result;
  }
  handle_ = handle;
  return ERROR_SUCCESS;
}

void LauncherFileLock::release() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  FileSystem::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}
