#include "config/config_paths.h"

#include <errno.h>
#include <sys/stat.h>

#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/text.h"

const std::u16string kStartFileName = u"ovanstart.cfg";
const std::u16string kStartrDir = u".Ovan/ovanstart";
const std::u16string kStartrDirt = u".Ovan/ovanstartt";

std::u16string get_local_config_file_dir() { return home_dir() + kPathSeparator + kStartrDir; }

std::u16string get_local_config_file_path() {
  return get_local_config_file_dir() + kPathSeparator + kStartFileName;
}

// app_data_dir() ends in "/", so the path holds "//"; it names the same
// directory, and the launcher's files have always been found there.
std::u16string get_allusers_config_file_dir() {
  return app_data_dir() + kPathSeparator + kStartrDir;
}

std::u16string get_allusers_config_file_path() {
  return get_allusers_config_file_dir() + kPathSeparator + kStartFileName;
}

std::u16string get_local_config_file_dir_base() {
  return home_dir() + kPathSeparator + kStartrDirt;
}

std::u16string get_local_config_file_path_base() {
  return get_local_config_file_dir_base() + kPathSeparator + kStartFileName;
}

std::u16string get_allusers_config_file_path_base() {
  return get_local_config_file_dir() + kPathSeparator + kStartFileName;
}

std::u16string n8_app_data_dir(bool flag) {
  return app_data_dir(flag) + u"Ovan" + kPathSeparator + u"ovn" + string_ito(8, 10) +
         kPathSeparator;
}

namespace {

// The directory itself when it exists, else its nearest existing ancestor;
// empty when something other than a missing directory stands in the way.
std::u16string nearest_existing_directory(const std::u16string& dir) {
  std::u16string path = without_trailing_separator(dir);
  for (;;) {
    FileStatus status;
    // Only a missing level is created by the installer; a level that cannot
    // be searched blocks the way.
    if (FileSystem::GetFileStatus(path, true, status) != 0) return std::u16string();
    if (status.exists()) return status.isDirectory() ? path : std::u16string();
    if (path == u"/" || path == u".") return std::u16string();
    path = without_trailing_separator(parent_directory(path));
    // A relative name without "/" lies in the current directory.
    if (path.empty()) path = u".";
  }
}

}  // namespace

bool isWritePermitted(const std::u16string& dir) {
  // An empty name or one the locale cannot express names no directory.
  if (dir.empty() || narrow_lib(dir).empty()) return false;
  const std::u16string probeDirectory = nearest_existing_directory(dir);
  if (probeDirectory.empty()) return false;
  // A file without a name is made and dropped: nothing appears in the
  // directory, its times stay, and a kill at any moment leaves nothing.
  HANDLE probe = INVALID_HANDLE_VALUE;
  const uint32_t made = FileSystem::CreateUnnamedFile(probeDirectory, probe);
  if (made == ERROR_SUCCESS) {
    FileSystem::CloseHandle(probe);
    return true;
  }
  // Where no such file can be made, the permissions tell.
  return made == ERROR_NOT_SUPPORTED &&
         FileSystem::CheckAccess(probeDirectory, FILE_ACCESS_WRITE | FILE_ACCESS_SEARCH) ==
             ERROR_SUCCESS;
}
