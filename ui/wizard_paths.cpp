#include "ui/wizard_paths.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>

#include "platform/existing_level.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/text.h"
#include "resources/lang.h"

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
  const std::string root = with_trailing_separator(resolved(directory));
  if (file.empty() || root.empty()) return std::u16string();
  if (file.size() <= root.size() || file.compare(0, root.size(), root) != 0)
    return std::u16string();
  return widen_lib(file);
}

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

namespace {

FreeSpaceProbe g_freeSpaceProbe = nullptr;

}  // namespace

void set_free_space_probe(FreeSpaceProbe probe) { g_freeSpaceProbe = probe; }

bool freeSpaceAt(const std::u16string& path, uint64_t& freeBytes) {
  if (path.empty() || path[0] != u'/') return false;
  // The folder the run would create its levels in: the nearest one there.
  const std::u16string folder = chooserStartFolder(path, u"/");
  if (g_freeSpaceProbe) return g_freeSpaceProbe(folder, freeBytes);
  struct statvfs status;
  if (statvfs(narrow_lib(folder).c_str(), &status) != 0) return false;
  freeBytes = uint64_t(status.f_bavail) * status.f_frsize;
  return true;
}

std::u16string sizeText(uint64_t bytes, bool roundUp) {
  const uint64_t kKilo = 1024, kMega = kKilo * 1024, kGiga = kMega * 1024;
  const char* key = "IDS_SIZE_GB";
  uint64_t unit = kGiga;
  if (bytes < kMega) {
    key = "IDS_SIZE_KB";
    unit = kKilo;
  } else if (bytes < 10 * kGiga) {
    key = "IDS_SIZE_MB";
    unit = kMega;
  }
  const uint64_t whole = bytes / unit + (roundUp && bytes % unit != 0 ? 1 : 0);
  return FormatResString(key, {widen_lib(std::to_string(whole))});
}
