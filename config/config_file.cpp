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

namespace {

// The bytes compare_nocase compares, case folded: two texts are equal under
// compare_nocase exactly when these are equal.
std::string folded(const std::u16string& text) {
  std::string bytes;
  narrow_config_text(text, bytes);
  for (char& c : bytes) c = char(fold(c));
  return bytes;
}

}  // namespace

ConfigFile::Entry* ConfigFile::find(const std::u16string& key) {
  const auto found = keyIndex_.find(folded(key));
  return found == keyIndex_.end() ? nullptr : &entries_[found->second];
}

const ConfigFile::Entry* ConfigFile::find(const std::u16string& key) const {
  return const_cast<ConfigFile*>(this)->find(key);
}

void ConfigFile::append(const std::u16string& key, const std::list<std::u16string>& values) {
  keyIndex_.emplace(folded(key), entries_.size());
  entries_.push_back(Entry{key, values});
  valueCounts_.emplace_back();
  countValues(entries_.size() - 1);
}

void ConfigFile::countValues(size_t index) {
  FoldedCounts& counts = valueCounts_[index];
  counts.clear();
  for (const std::u16string& value : entries_[index].values) ++counts[folded(value)];
}

// Removing an entry moves the ones after it; their index entries follow.
void ConfigFile::erase(size_t index) {
  keyIndex_.erase(folded(entries_[index].key));
  entries_.erase(entries_.begin() + index);
  valueCounts_.erase(valueCounts_.begin() + index);
  for (auto& key : keyIndex_) {
    if (key.second > index) --key.second;
  }
}

std::list<std::u16string> ConfigFile::findValues(const std::u16string& key) const {
  const Entry* entry = find(key);
  return entry ? entry->values : std::list<std::u16string>();
}

bool ConfigFile::addValue(const std::u16string& key, const std::u16string& value) {
  Entry* entry = find(key);
  if (entry == nullptr) {
    append(key, {value});
    return true;
  }
  size_t& count = valueCounts_[indexOf(entry)][folded(value)];
  if (count > 0) return false;
  count = 1;
  entry->values.push_back(value);
  return true;
}

bool ConfigFile::setValue(const std::u16string& key, const std::u16string& value) {
  Entry* entry = find(key);
  if (entry == nullptr) {
    append(key, {value});
    return true;
  }
  if (entry->values.size() == 1 && equal_nocase(entry->values.front(), value)) return false;
  entry->values.assign(1, value);
  countValues(indexOf(entry));
  return true;
}

void ConfigFile::setValues(const std::u16string& key, const std::list<std::u16string>& values) {
  Entry* entry = find(key);
  if (entry == nullptr) {
    append(key, values);
  } else if (!values.empty()) {
    entry->values = values;
    countValues(indexOf(entry));
  } else {
    erase(indexOf(entry));
    append(key, {});
  }
}

bool ConfigFile::removeValue(const std::u16string& key, const std::u16string& value) {
  Entry* entry = find(key);
  if (entry == nullptr) return false;
  const size_t index = indexOf(entry);
  const auto count = valueCounts_[index].find(folded(value));
  if (count == valueCounts_[index].end() || count->second == 0) return false;
  for (auto it = entry->values.begin(); it != entry->values.end(); ++it) {
    if (!equal_nocase(*it, value)) continue;
    entry->values.erase(it);
    if (--count->second == 0) valueCounts_[index].erase(count);
    if (entry->values.empty()) erase(index);
    return true;
  }
  return false;
}

void add_value_to_config_file(ConfigFile& config, const std::u16string& key,
                              const std::u16string& value) {
  config.addValue(key, value);
}
