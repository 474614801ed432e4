#include "platform/file_finder.h"

#include <errno.h>
#include <fnmatch.h>
#include <string.h>

#include "platform/file_system.h"
#include "platform/text.h"

FileFinder::FileFinder() : m_stream(nullptr) { memset(&m_status, 0, sizeof m_status); }

FileFinder::~FileFinder() { close(); }

bool FileFinder::reset(const std::u16string& path) {
  close();
  m_fullPath = narrow_lib(path);
  size_t slash = m_fullPath.rfind('/');
  if (slash == std::string::npos) {
    m_directory = m_fullPath;
    m_pattern = m_fullPath;
  } else {
    // "/name" lies in the root directory.
    m_directory = slash == 0 ? std::string("/") : m_fullPath.substr(0, slash);
    m_pattern = m_fullPath.substr(slash + 1);
  }
  m_stream = opendir(m_directory.c_str());
  if (m_stream == nullptr) return false;
  return next();
}

bool FileFinder::next() {
  if (m_stream == nullptr) return false;
  for (;;) {
    struct dirent64* entry = readdir64(m_stream);
    if (entry == nullptr) {
      close();
      return false;
    }
    int match = fnmatch(m_pattern.c_str(), entry->d_name, FNM_PATHNAME);
    if (match != 0 && m_pattern != entry->d_name) {
      if (match == FNM_NOMATCH) continue;
      return false;
    }
    std::u16string wideName = widen_lib(entry->d_name);
    if (wideName.empty()) continue;  // a name callers could not use
    std::string entryPath = m_directory + "/" + entry->d_name;
    // The entry itself, not what a link points to: callers that recurse
    // into directories to delete them must never leave the tree through a
    // link, and a dangling link is still an entry.
    if (lstat64(entryPath.c_str(), &m_status) != 0) continue;  // gone meanwhile
    m_currentName = entry->d_name;
    m_currentWideName = wideName;
    return true;
  }
}

std::u16string FileFinder::name() const {
  return m_stream == nullptr ? std::u16string() : m_currentWideName;
}

uint32_t FileFinder::attributes() const {
  if (m_stream == nullptr || !S_ISDIR(m_status.st_mode)) return 0;
  return FILE_ATTRIBUTE_DIRECTORY;
}

int FileFinder::close() {
  if (m_stream == nullptr) return 0;
  int result = closedir(m_stream);
  m_stream = nullptr;
  return result;
}

bool file_exists(const std::u16string& path) {
  FileFinder finder;
  return finder.reset(path);
}
