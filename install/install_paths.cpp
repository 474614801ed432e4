#include "install/install_paths.h"

#include "platform/text.h"

std::u16string without_trailing_separator(const std::u16string& path) {
  if (path.size() > 1 && path.back() == u'/') return path.substr(0, path.size() - 1);
  return path;
}

std::u16string parent_directory(const std::u16string& path) {
  size_t slash = path.rfind(u'/');
  if (slash == std::u16string::npos) return std::u16string();
  if (slash == 0) return u"/";
  return path.substr(0, slash);
}

bool relative_path_key(const std::u16string& relative, std::u16string& key) {
  key.clear();
  size_t begin = 0;
  while (begin <= relative.size()) {
    size_t end = relative.find(u'/', begin);
    if (end == std::u16string::npos) end = relative.size();
    size_t length = end - begin;
    if (length == 2 && relative[begin] == u'.' && relative[begin + 1] == u'.') return false;
    bool skip = length == 0 || (length == 1 && relative[begin] == u'.');
    if (!skip) {
      if (!key.empty()) key.push_back(u'/');
      key.append(relative, begin, length);
    }
    begin = end + 1;
  }
  return !key.empty();
}

std::string narrow_path(const std::u16string& path) {
  std::string narrow(path.size(), '\0');
  for (size_t i = 0; i < path.size(); ++i) {
    // A zero unit ends the path, as it does for narrow_lib.
    if (path[i] >= 0x80 || path[i] == 0) return narrow_lib(path);
    narrow[i] = char(path[i]);
  }
  return narrow;
}

uint32_t link_status(const std::u16string& path, FileStatus& status) {
  return FileSystem::GetFileStatus(path, false, status);
}

uint32_t file_status(const std::u16string& path, FileStatus& status) {
  return FileSystem::GetFileStatus(path, true, status);
}
