#include "config/config_file.h"

#include <cctype>

#include "config/config_text.h"

const std::u16string kConfigFileFieldTemplatesLocation = u"ConfigurationTemplatesLocation";
const std::u16string kConfigFileFieldInstallComponents = u"InstallComponents";
const std::u16string kConfigFileFieldCommonCfgLocation = u"CommonCfgLocation";
const std::u16string kConfigFileFieldDistributionFolder = u"DistributiveLocation";
const std::u16string kConfigFileFieldInstalledFolder = u"InstalledLocation";
const std::u16string kConfigFileFieldCommonBase = u"CommonInfoBases";
const std::u16string kConfigFileFieldDefaultVersion = u"DefaultVersion";

namespace {

int fold(char c) { return tolower(static_cast<unsigned char>(c)); }

bool equal_nocase(const std::u16string& a, const std::u16string& b) {
  return compare_nocase(a, b) == 0;
}

}  // namespace

// strcasecmp over the texts' bytes, with an explicit length so that a zero
// byte kept from a file does not end the comparison early.
int compare_nocase(const std::u16string& a, const std::u16string& b) {
  std::string left, right;
  narrow_config_text(a, left);
  narrow_config_text(b, right);
  const size_t common = left.size() < right.size() ? left.size() : right.size();
  for (size_t i = 0; i < common; ++i) {
    const int difference = fold(left[i]) - fold(right[i]);
    if (difference != 0) return difference;
  }
  if (left.size() > common) return fold(left[common]) == 0 ? 1 : fold(left[common]);
  if (right.size() > common) return fold(right[common]) == 0 ? -1 : -fold(right[common]);
  return 0;
}

ConfigFile::Entry* ConfigFile::find(const std::u16string& key) {
  for (Entry& entry : entries_) {
    if (equal_nocase(key, entry.key)) return &entry;
  }
  return nullptr;
}

const ConfigFile::Entry* ConfigFile::find(const std::u16string& key) const {
  return const_cast<ConfigFile*>(this)->find(key);
}

std::list<std::u16string> ConfigFile::findValues(const std::u16string& key) const {
  const Entry* entry = find(key);
  return entry ? entry->values : std::list<std::u16string>();
}

bool ConfigFile::addValue(const std::u16string& key, const std::u16string& value) {
  Entry* entry = find(key);
  if (entry == nullptr) {
    entries_.push_back(Entry{key, {value}});
    return true;
  }
  for (const std::u16string& present : entry->values) {
    if (equal_nocase(present, value)) return false;
  }
  entry->values.push_back(value);
  return true;
}

bool ConfigFile::setValue(const std::u16string& key, const std::u16string& value) {
  Entry* entry = find(key);
  if (entry == nullptr) {
    entries_.push_back(Entry{key, {value}});
    return true;
  }
  if (entry->values.size() == 1 && equal_nocase(entry->values.front(), value)) return false;
  entry->values.assign(1, value);
  return true;
}

void ConfigFile::setValues(const std::u16string& key, const std::list<std::u16string>& values) {
  Entry* entry = find(key);
  if (entry == nullptr) {
    entries_.push_back(Entry{key, values});
  } else if (!values.empty()) {
    entry->values = values;
  } else {
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    entries_.push_back(Entry{key, {}});
  }
}

bool ConfigFile::removeValue(const std::u16string& key, const std::u16string& value) {
  Entry* entry = find(key);
  if (entry == nullptr) return false;
  for (auto it = entry->values.begin(); it != entry->values.end(); ++it) {
    if (!equal_nocase(*it, value)) continue;
    entry->values.erase(it);
    if (entry->values.empty()) entries_.erase(entries_.begin() + (entry - entries_.data()));
    return true;
  }
  return false;
}

void add_value_to_config_file(ConfigFile& config, const std::u16string& key,
                              const std::u16string& value) {
  config.addValue(key, value);
}
