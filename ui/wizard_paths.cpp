#include "ui/wizard_paths.h"

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

// The path with every link resolved; empty when it does not resolve.
std::u16string resolved(const std::u16string& path) {
  std::u16string result;
  if (FileSystem::GetFinalPathName(path, result) != ERROR_SUCCESS) result.clear();
  return result;
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
  const std::u16string file = resolved(path);
  const std::u16string root = resolved(directory);
  if (file.empty() || root.empty()) return std::u16string();
  const std::u16string prefix = with_trailing_separator(root);
  if (file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0)
    return std::u16string();
  return file;
}

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

std::u16string absoluteTargetPath(const std::u16string& typed, const std::u16string& home,
                                  const std::u16string& cwd) {
  if (typed == u"~" || typed.compare(0, 2, u"~/") == 0) return home + typed.substr(1);
  if (typed.empty() || typed[0] == u'/') return typed;
  return with_trailing_separator(cwd) + typed;
}

TargetCheck checkTargetDirectory(const std::u16string& path) {
  std::u16string existing = without_trailing_separator(path);
  FileStatus status;
  // The nearest part of the path that exists: the folder itself, or the
  // parent in which it would be made.
  while (true) {
    const uint32_t result = FileSystem::GetFileStatus(existing, true, status);
    if (result == ERROR_SUCCESS && status.exists()) break;
    if (!path_up_one_level(existing)) return TargetCheck::kNotWritable;
  }
  if (status.kind != FileKind::kDirectory) return TargetCheck::kNotAFolder;
  if (FileSystem::CheckAccess(existing, FILE_ACCESS_WRITE) != ERROR_SUCCESS)
    return TargetCheck::kNotWritable;
  return TargetCheck::kUsable;
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
  return FileSystem::GetFreeSpace(folder, freeBytes) == ERROR_SUCCESS;
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
