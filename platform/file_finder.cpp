#include "platform/file_finder.h"

#include <fnmatch.h>

#include "platform/text.h"

FileFinder::FileFinder() = default;

FileFinder::~FileFinder() { close(); }

bool FileFinder::reset(const std::u16string& path) {
  close();
  const size_t slash = path.rfind(u'/');
  std::u16string directory = path;
  m_pattern = narrow_lib(path);
  if (slash != std::u16string::npos) {
    // "/name" lies in the root directory.
    directory = slash == 0 ? std::u16string(u"/") : path.substr(0, slash);
    m_pattern = narrow_lib(path.substr(slash + 1));
  }
  m_error = FileSystem::ListDirectory(directory, m_entries);
  if (m_error != ERROR_SUCCESS) return false;
  return next();
}

bool FileFinder::next() {
  // The enumeration that is open goes on from m_next; one that ended stays
  // ended.
  size_t at = m_next;
  if (at == 0 && m_entries.empty()) return false;
  for (; at < m_entries.size(); ++at) {
    const std::string name = narrow_lib(m_entries[at].name);
    const int match = fnmatch(m_pattern.c_str(), name.c_str(), FNM_PATHNAME);
    if (match == 0 || m_pattern == name) {
      m_next = at + 1;
      return true;
    }
    if (match != FNM_NOMATCH) break;
  }
  close();
  return false;
}

std::u16string FileFinder::name() const {
  return isOpen() ? m_entries[m_next - 1].name : std::u16string();
}

uint32_t FileFinder::attributes() const {
  if (!isOpen() || m_entries[m_next - 1].kind != FileKind::kDirectory) return 0;
  return FILE_ATTRIBUTE_DIRECTORY;
}

int FileFinder::close() {
  m_entries.clear();
  m_next = 0;
  return 0;
}

bool file_exists(const std::u16string& path) {
  FileFinder finder;
  return finder.reset(path);
}
