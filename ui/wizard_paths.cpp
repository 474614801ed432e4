#include "ui/wizard_paths.h"

#include <limits.h>
#include <stdlib.h>

#include "platform/text.h"

namespace {

void remove_every(std::u16string& text, const std::u16string& what) {
  for (size_t at = text.find(what); at != std::u16string::npos; at = text.find(what))
    text.erase(at, what.size());
}

bool is_separator(char16_t unit) { return unit == u'/' || unit == u'\\'; }

// realpath of a wide path; empty when it does not resolve.
std::string resolved(const std::u16string& path) {
  const std::string narrow = narrow_lib(path);
  if (narrow.empty()) return std::string();
  char buffer[PATH_MAX];
  return realpath(narrow.c_str(), buffer) ? std::string(buffer) : std::string();
}

}  // namespace

bool enoughTemporarySpace(uint32_t kitSize, uint32_t freeBytes) {
  if (freeBytes == 0xFFFFFFFFu) return true;
  return uint64_t(freeBytes) >= kSpaceReg * uint64_t(kitSize);
}

std::u16string cleanProposedDirectory(std::u16string path) {
  for (const char16_t* scheme : {u"http://", u"https://", u"ftp://"})
    if (path.find(scheme) != std::u16string::npos) path.clear();
  const std::u16string file = u"file://";
  const size_t at = path.find(file);
  if (at != std::u16string::npos) path.erase(at, file.size());
  remove_every(path, u"\n");
  remove_every(path, u"\r");
  return path;
}

std::u16string joinDirectoryAndName(const std::u16string& directory, const std::u16string& name) {
  if (directory.empty()) return name;
  std::u16string joined = directory;
  const bool directoryEnds = is_separator(joined.back());
  const bool nameStarts = !name.empty() && is_separator(name.front());
  if (directoryEnds && nameStarts)
    joined.pop_back();
  else if (!directoryEnds && !nameStarts)
    joined += kPathSeparator;
  return joined + name;
}

std::u16string documentInsideDirectory(const std::u16string& path,
                                       const std::u16string& directory) {
  const std::string file = resolved(path);
  std::string root = resolved(directory);
  if (file.empty() || root.empty()) return std::u16string();
  if (root.back() != '/') root += '/';
  if (file.size() <= root.size() || file.compare(0, root.size(), root) != 0)
    return std::u16string();
  return widen_lib(file);
}
