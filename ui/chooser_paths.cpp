#include "ui/chooser_paths.h"

#include "platform/existing_level.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/text.h"


std::u16string chooserStartFolder(const std::u16string& field, const std::u16string& home) {
  std::u16string path = field;
  replace_all(path, kBadPathSeparator, kPathSeparator);
  path = absolute_path(path, home, u"");
  if (path.empty() || path[0] != u'/') return home;
  std::u16string level;
  FileStatus status;
  if (nearest_existing_level(path, level, status) != ERROR_SUCCESS) return home;
  // A file stands there: the chooser opens the folder that holds it.
  return status.isDirectory() ? level : parent_directory(level);
}

bool hasHiddenComponent(const std::u16string& path) {
  for (size_t at = path.find(u"/."); at != std::u16string::npos; at = path.find(u"/.", at + 1)) {
    // "/." and "/.." are the folder itself and its parent, not hidden names.
    const std::u16string rest = path.substr(at + 1, path.find(u'/', at + 1) - at - 1);
    if (rest != u"." && rest != u"..") return true;
  }
  return false;
}

