// The launcher's key/value configuration file: the in-memory model and the
// case-insensitive comparison used for keys and values. Its reader is in
// config/config_reader.h, its writer in config/config_writer.h.
//
// A file is made of lines "key=value"; a key may occur on several lines to
// carry a list of values. docs/config-format.md describes the bytes.
#ifndef OVN8_CONFIG_CONFIG_FILE_H_
#define OVN8_CONFIG_CONFIG_FILE_H_

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

// Keys that the launcher's file is known to hold. Only the template list is
// interpreted here; the others are kept unchanged by a read-write cycle.
extern const std::u16string kConfigFileFieldTemplatesLocation;   // "ConfigurationTemplatesLocation"
extern const std::u16string kConfigFileFieldInstallComponents;   // "InstallComponents"
extern const std::u16string kConfigFileFieldCommonCfgLocation;   // "CommonCfgLocation"
extern const std::u16string kConfigFileFieldDistributionFolder;  // "DistributiveLocation"
extern const std::u16string kConfigFileFieldInstalledFolder;     // "InstalledLocation"
extern const std::u16string kConfigFileFieldCommonBase;          // "CommonInfoBases"
extern const std::u16string kConfigFileFieldDefaultVersion;      // "DefaultVersion"

// Compares the two texts in the locale's multibyte encoding, folding letter
// case as strcasecmp does (in a UTF-8 locale only A-Z fold). Negative, zero
// or positive; zero means equal.
int compare_nocase(const std::u16string& a, const std::u16string& b);

// An ordered list of keys, each with an ordered list of values. No two keys
// are equal under compare_nocase; a key keeps the letter case it was first
// added with, and new keys go to the end.
class ConfigFile {
 public:
  struct Entry {
    std::u16string key;
    std::list<std::u16string> values;
  };

  // The values of the key; empty when the key is absent.
  std::list<std::u16string> findValues(const std::u16string& key) const;
  // Appends the value unless an equal one is present (then false).
  bool addValue(const std::u16string& key, const std::u16string& value);
  // Makes the value the key's only one; false when it already was.
  bool setValue(const std::u16string& key, const std::u16string& value);
  // The key's values become `values`, stored unchanged. A present key keeps
  // its place, except with an empty list: then it moves to the end, holding
  // no values (and writes no line).
  void setValues(const std::u16string& key, const std::list<std::u16string>& values);
  // Removes the first value equal to `value`, and the key when it empties.
  bool removeValue(const std::u16string& key, const std::u16string& value);

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  // How many values of an entry have each folded form.
  typedef std::unordered_map<std::string, size_t> FoldedCounts;

  Entry* find(const std::u16string& key);
  const Entry* find(const std::u16string& key) const;
  size_t indexOf(const Entry* entry) const { return size_t(entry - entries_.data()); }
  void append(const std::u16string& key, const std::list<std::u16string>& values);
  void countValues(size_t index);
  void erase(size_t index);

  std::vector<Entry> entries_;
  // Keys and values by their folded form (equal under compare_nocase exactly
  // when their folded forms are equal), so that a file of n lines is read
  // in time linear in n. valueCounts_ runs parallel to entries_.
  std::unordered_map<std::string, size_t> keyIndex_;
  std::vector<FoldedCounts> valueCounts_;
};

// Adds one parsed line to `config` (ConfigFile::addValue).
void add_value_to_config_file(ConfigFile& config, const std::u16string& key,
                              const std::u16string& value);

#endif  // OVN8_CONFIG_CONFIG_FILE_H_
