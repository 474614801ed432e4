#include "config/directory_util.h"

#include "platform/text.h"

std::u16string directory_of(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string::npos) return u".";
  if (slash == 0) return u"/";
  return path.substr(0, slash);
}

bool stat_path(const std::u16string& path, struct stat& status) {
  const std::string narrow = narrow_lib(path);
  return !narrow.empty() && stat(narrow.c_str(), &status) == 0;
}

bool lies_in_directory(const std::u16string& file, const std::u16string& directory) {
  struct stat wanted, got;
  return stat_path(directory, wanted) && stat_path(directory_of(file), got) &&
         wanted.st_dev == got.st_dev && wanted.st_ino == got.st_ino;
}
