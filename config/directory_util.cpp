#include "config/directory_util.h"

#include "platform/text.h"

std::u16string directory_of(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string::npos) return u".";
  if (slash == 0) return u"/";
  return path.substr(0, slash);
}

bool stat_path(const std::u16string& path, FileStatus& status) {
  if (narrow_lib(path).empty()) return false;
  return FileSystem::GetFileStatus(path, true, status) == 0 && status.exists();
}

bool lies_in_directory(const std::u16string& file, const std::u16string& directory) {
  FileStatus wanted, got;
  return stat_path(directory, wanted) && stat_path(directory_of(file), got) &&
         wanted.device == got.device && wanted.inode == got.inode;
}
