#include "ui/chooser_paths.h"

#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

bool is_folder(const std::u16string& path) {
  FileStatus status;
  return FileSystem::GetFileStatus(path, true, status) == ERROR_SUCCESS &&
         status.kind == FileKind::kDirectory;
}

}  // namespace

std::u16string chooserStartFolder(const std::u16string& field, const std::u16string& home) {
  std::u16string path = field;
  replace_all(path, kBadPathSeparator, kPathSeparator);
  if (path == u"~" || path.compare(0, 2, u"~/") == 0) path = home + path.substr(1);
  if (path.empty() || path[0] != u'/') return home;
  path = without_trailing_separator(path);
  while (!is_folder(path)) {
    if (!path_up_one_level(path)) return home;
    if (path == u"/") break;
  }
  return path;
}

bool hasHiddenComponent(const std::u16string& path) {
  for (size_t at = path.find(u"/."); at != std::u16string::npos; at = path.find(u"/.", at + 1)) {
    // "/." and "/.." are the folder itself and its parent, not hidden names.
    const std::u16string rest = path.substr(at + 1, path.find(u'/', at + 1) - at - 1);
    if (rest != u"." && rest != u"..") return true;
  }
  return false;
}

