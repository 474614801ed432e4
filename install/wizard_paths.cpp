#include "install/wizard_paths.h"

#include "install/installation_record.h"
#include "install/journal_file.h"
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

// The path with every link resolved; empty when it does not resolve.
std::u16string resolved(const std::u16string& path) {
  std::u16string result;
  if (FileSystem::GetFinalPathName(path, result) != ERROR_SUCCESS) result.clear();
  return result;
}

// `path` itself when it is a folder, else the folder that holds its
// nearest existing level; empty when the way there is blocked.
std::u16string nearest_existing_folder(const std::u16string& path) {
  std::u16string level;
  FileStatus status;
  if (nearest_existing_level(path, level, status) != ERROR_SUCCESS) return std::u16string();
  return status.isDirectory() ? level : parent_directory(level);
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

bool liesInWizardsOwnFolder(const std::u16string& path) {
  for (size_t begin = 0; begin < path.size();) {
    size_t end = path.find_first_of(u"/\\", begin);
    if (end == std::u16string::npos) end = path.size();
    const std::u16string level = path.substr(begin, end - begin);
    if (!level.empty() && level[0] == u'.' && (is_run_folder_name(level) || is_control_folder_key(level)))
      return true;
    begin = end + 1;
  }
  return false;
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

FreeSpaceProbe g_freeSpaceProbe = nullptr;

}  // namespace

void set_free_space_probe(FreeSpaceProbe probe) { g_freeSpaceProbe = probe; }

bool freeSpaceAt(const std::u16string& path, uint64_t& freeBytes) {
  if (path.empty() || path[0] != u'/') return false;
  // The folder the run would create its levels in: the nearest one there.
  const std::u16string folder = nearest_existing_folder(path);
  if (folder.empty()) return false;
  if (g_freeSpaceProbe) return g_freeSpaceProbe(folder, freeBytes);
  return FileSystem::GetFreeSpace(folder, freeBytes) == ERROR_SUCCESS;
}
