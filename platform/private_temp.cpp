#include "platform/private_temp.h"

#include <unistd.h>

#include <mutex>

#include "platform/owned_leftovers.h"
#include "platform/text.h"

namespace {

const uint32_t kPrivateMode = 0700;

std::mutex g_runFolderMutex;

// The folder this run made because the usual one failed its check; empty
// while there is none.
std::u16string& run_folder() {
  static auto* folder = new std::u16string();
  return *folder;
}

std::u16string usual_name() { return u"ovn8-" + string_uito(geteuid(), 10); }

// 0 with `usable` telling whether `path` may serve as the private folder.
uint32_t check_folder(const std::u16string& path, bool& usable) {
  FileStatus status;
  const uint32_t result = link_status(path, status);
  usable = result == ERROR_SUCCESS && is_private_folder(status);
  return result;
}

// The usual folder, made when nothing has its name yet; `usable` false when
// what stands there must not be used.
uint32_t usual_folder(const std::u16string& temp, std::u16string& path, bool& usable) {
  path = temp + usual_name();
  const uint32_t made = FileSystem::CreateOneDirectory(path, kPrivateMode);
  // Already there: the check decides whether it is ours.
  if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) return made;
  return check_folder(path, usable);
}

// The run's own folder, made on first need. Called with the mutex held.
uint32_t own_folder(const std::u16string& temp, std::u16string& path) {
  std::u16string& own = run_folder();
  bool usable = false;
  if (!own.empty()) {
    const uint32_t result = check_folder(own, usable);
    if (result != ERROR_SUCCESS) return result;
  }
  if (!usable) {
    own.clear();
    uint32_t result = FileSystem::CreateTempDirectory(temp, usual_name() + u"-", own);
    if (result == ERROR_SUCCESS) result = check_folder(own, usable);
    if (result != ERROR_SUCCESS) return result;
    // Made exclusively a moment ago, yet not private: a umask that keeps
    // the owner out, or a file system that ignores modes.
    if (!usable) return ERROR_ACCESS_DENIED;
  }
  path = own;
  return ERROR_SUCCESS;
}

}  // namespace

bool is_private_folder(const FileStatus& status) {
  return status.kind == FileKind::kDirectory && status.owner == geteuid() &&
         (status.mode & 077) == 0;
}

uint32_t private_temp_folder(std::u16string& folder) {
  folder.clear();
  std::u16string temp;
  uint32_t result = FileSystem::GetTempPath(temp);
  if (result != ERROR_SUCCESS) return result;
  std::u16string path;
  bool usable = false;
  result = usual_folder(temp, path, usable);
  if (result == ERROR_SUCCESS && !usable) {
    std::lock_guard<std::mutex> lock(g_runFolderMutex);
    result = own_folder(temp, path);
  }
  if (result == ERROR_SUCCESS) folder = path + u"/";
  return result;
}

uint32_t create_private_temp_file(const std::u16string& prefix, std::u16string& path,
                                  HANDLE& handle) {
  path.clear();
  handle = INVALID_HANDLE_VALUE;
  std::u16string folder;
  uint32_t result = private_temp_folder(folder);
  if (result == ERROR_SUCCESS) result = create_locked_temp_file(folder, prefix, path, handle);
  if (result != ERROR_SUCCESS) return result;
  // The file layer falls back to the temporary directory itself when the
  // folder is missing.
  if (path.compare(0, folder.size(), folder) == 0) return ERROR_SUCCESS;
  FileSystem::DeleteFile(path);
  FileSystem::CloseHandle(handle);
  path.clear();
  handle = INVALID_HANDLE_VALUE;
  return ERROR_CANTWRITE;
}

void remove_run_temp_folder() {
  std::lock_guard<std::mutex> lock(g_runFolderMutex);
  std::u16string& own = run_folder();
  if (own.empty()) return;
  FileSystem::RemoveEmptyDirectory(own);
  own.clear();
}
