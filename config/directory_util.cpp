#include "config/directory_util.h"

#include "platform/path.h"
#include "platform/text.h"

bool stat_path(const std::u16string& path, FileStatus& status) {
  if (narrow_lib(path).empty()) return false;
  return FileSystem::GetFileStatus(path, true, status) == 0 && status.exists();
}

bool lies_in_directory(const std::u16string& file, const std::u16string& directory) {
  FileStatus wanted, got;
  // `file` comes from GetTempFileName, whose names always hold a "/".
  return stat_path(directory, wanted) && stat_path(parent_directory(file), got) &&
         wanted.device == got.device && wanted.inode == got.inode;
}
