// The list of configuration template directories kept in the launcher's
// files under ConfigurationTemplatesLocation.
//
// Reading merges the per-user ("local") file and the all-users file of the
// selected set; writing changes only the per-user file. A Starter serves one
// operation and is then discarded, so every operation reads the files afresh.
#ifndef OVN8_CONFIG_STARTER_H_
#define OVN8_CONFIG_STARTER_H_

#include <list>
#include <string>

#include "config/config_file.h"
#include "config/config_writer.h"

class Starter {
 public:
  // `base` selects the alternate set of files (see config/config_paths.h).
  explicit Starter(bool base);

  // Reads the all-users file, then the local file; a missing or unreadable
  // file leaves its configuration empty.
  void loadConfig();
  // Appends the key's values from both files, local first or all-users
  // first, skipping values already appended (compare_nocase). What `out`
  // held before is left alone.
  void getConfigFilesValues(bool localFirst, const std::u16string& key,
                            std::list<std::u16string>& out) const;
  // Appends the template directories, backslashes turned into "/", each
  // directory once.
  void getTmpltsList(std::list<std::u16string>& out, bool localFirst);
  // Makes `list` (duplicates removed, elements unchanged) the template
  // directories of the local file and writes it; other keys are kept.
  // Throws the integer of write_config_file when the file cannot be
  // written, and 1 without writing when the existing local file could not
  // be read whole (rewriting it would lose what was not read).
  void setTmpltsList(const std::list<std::u16string>& list);
  // setTmpltsList that returns how the write ended instead of throwing; a
  // dry run writes nothing and tells whether the file would change.
  ConfigWriteResult storeTmpltsList(const std::list<std::u16string>& list, bool dryRun = false);
  // Writes the local configuration to the local file, creating its
  // directory; one retry, whose failure propagates.
  void saveLocalConfigFile();
  ConfigWriteResult saveLocalConfig(bool dryRun = false);

  // Turns every backslash into "/".
  static void replaceWrongSeparators(std::list<std::u16string>& list);
  // Keeps the first of every group of elements that name the same
  // directory: equal under compare_nocase once a backslash is appended to
  // those that end in no separator ("/a/b" and "/a/b\\" are one, "/a/b" and
  // "/a/b/" two). Kept elements are not changed.
  static void removePathDuplicates(std::list<std::u16string>& list);

 private:
  std::u16string localPath() const;
  std::u16string allUsersPath() const;

  ConfigFile m_localConfig;
  ConfigFile m_allUsersConfig;
  bool m_base;
  bool m_localReadWhole = true;
};

// Appends the template directories of the selected set of files to `list`.
void get_tmplts_list(std::list<std::u16string>& list, bool localFirst, bool base);
// Writes `list` as the template directories of the selected per-user file;
// exceptions from writing propagate.
void set_tmplts_list(const std::list<std::u16string>& list, bool base);

#endif  // OVN8_CONFIG_STARTER_H_
