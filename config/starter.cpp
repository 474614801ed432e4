#include "config/starter.h"

#include <set>

#include "config/config_paths.h"
#include "config/config_reader.h"
#include "config/config_writer.h"
#include "config/directory_util.h"
#include "platform/file_finder.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

struct NoCaseLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return compare_nocase(a, b) < 0;
  }
};

typedef std::set<std::u16string, NoCaseLess> NoCaseSet;

bool is_separator(char16_t unit) { return unit == u'/' || unit == u'\\'; }

// The form under which two list elements name the same directory: the
// element itself when it is empty or ends in a separator, else the element
// with a backslash appended. So "/a/b" and "/a/b\\" are one directory, while
// "/a/b" and "/a/b/" stay two: the launcher file is shared with programs
// that rely on its exact lines.
std::u16string comparison_form(const std::u16string& path) {
  if (path.empty() || is_separator(path.back())) return path;
  return path + kBadPathSeparator;
}

// Why a file could not be read whole: the error of opening it, or (when it
// opens) that its contents are no configuration the reader takes whole.
uint32_t why_unreadable(const std::u16string& path) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  const uint32_t opened = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (opened != ERROR_SUCCESS) return opened;
  FileSystem::CloseHandle(handle);
  return ERROR_INVALID_DATA;
}

}  // namespace

Starter::Starter(bool base) : m_base(base) {}

std::u16string Starter::localPath() const {
  return m_base ? get_local_config_file_path_base() : get_local_config_file_path();
}

std::u16string Starter::allUsersPath() const {
  return m_base ? get_allusers_config_file_path_base() : get_allusers_config_file_path();
}

void Starter::loadConfig() {
  // Reading never fails the caller: a file that cannot be read counts as
  // empty, and the other file is still read.
  try {
    read_config_file(allUsersPath(), m_allUsersConfig);
  } catch (...) {
  }
  try {
    m_localReadWhole = false;
    m_localReadWhole = read_config_file(localPath(), m_localConfig);
  } catch (...) {
  }
}

void Starter::getConfigFilesValues(bool localFirst, const std::u16string& key,
                                   std::list<std::u16string>& out) const {
  const ConfigFile* sources[] = {&m_allUsersConfig, &m_localConfig};
  if (localFirst) std::swap(sources[0], sources[1]);
  NoCaseSet seen;
  for (const ConfigFile* source : sources) {
    for (const std::u16string& value : source->findValues(key)) {
      if (seen.insert(value).second) out.push_back(value);
    }
  }
}

void Starter::getTmpltsList(std::list<std::u16string>& out, bool localFirst) {
  loadConfig();
  getConfigFilesValues(localFirst, kConfigFileFieldTemplatesLocation, out);
  replaceWrongSeparators(out);
  removePathDuplicates(out);
}

void Starter::setTmpltsList(const std::list<std::u16string>& list) {
  const ConfigWriteResult result = storeTmpltsList(list);
  if (!result.ok()) throw result.code;
}

ConfigWriteResult Starter::storeTmpltsList(const std::list<std::u16string>& list, bool dryRun) {
  loadConfig();
  if (!m_localReadWhole) {
    ConfigWriteResult refused;
    refused.error = why_unreadable(localPath());
    refused.code = kConfigCannotCreate;
    refused.step = "the file could not be read whole, and rewriting it would lose the rest";
    return refused;
  }
  std::list<std::u16string> copy = list;
  removePathDuplicates(copy);
  m_localConfig.setValues(kConfigFileFieldTemplatesLocation, copy);
  return saveLocalConfig(dryRun);
}

void Starter::saveLocalConfigFile() {
  const ConfigWriteResult result = saveLocalConfig();
  if (!result.ok()) throw result.code;
}

ConfigWriteResult Starter::saveLocalConfig(bool dryRun) {
  const std::u16string path = localPath();
  const std::u16string directory = parent_directory(path);
  if (dryRun) return save_config_file(path, m_localConfig, true);
  if (!file_exists(path)) FileSystem::CreateDirectory(directory);
  const ConfigWriteResult first = save_config_file(path, m_localConfig);
  if (first.ok()) return first;
  // The directory may have vanished, or been a file's name, in between.
  FileSystem::CreateDirectory(directory);
  return save_config_file(path, m_localConfig);
}

void Starter::replaceWrongSeparators(std::list<std::u16string>& list) {
  for (std::u16string& path : list) replace_all(path, kBadPathSeparator, kPathSeparator);
}

void Starter::removePathDuplicates(std::list<std::u16string>& list) {
  NoCaseSet seen;
  for (auto it = list.begin(); it != list.end();) {
    if (seen.insert(comparison_form(*it)).second) {
      ++it;
    } else {
      it = list.erase(it);
    }
  }
}

void get_tmplts_list(std::list<std::u16string>& list, bool localFirst, bool base) {
  Starter starter(base);
  starter.getTmpltsList(list, localFirst);
}

void set_tmplts_list(const std::list<std::u16string>& list, bool base) {
  Starter starter(base);
  starter.setTmpltsList(list);
}
