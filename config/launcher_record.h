// The template directories the launcher offers, as the wizard reads and
// records them: which of the launcher's files the list comes from, and the
// putting of a newly installed directory at the head of that list.
#ifndef OVN8_CONFIG_LAUNCHER_RECORD_H_
#define OVN8_CONFIG_LAUNCHER_RECORD_H_

#include <cstdint>
#include <list>
#include <string>
#include <vector>

// The list of template directories and where it was read.
struct TemplateList {
  std::list<std::u16string> directories;
  // The list came from the alternate set of files (the normal per-user file
  // is missing and the alternate one lists directories).
  bool fromAlternateSet = false;
  // The alternate per-user file exists.
  bool alternateFileExists = false;
};

// The normal per-user file's list when that file exists; otherwise the
// alternate set's when its per-user file exists; otherwise empty.
TemplateList read_template_list();

// How one launcher file took the new directory.
struct LauncherFileUpdate {
  std::u16string file;
  uint32_t error = 0;    // 0, or the file layer's error of the step that failed
  std::string reason;    // that step in words; empty on success
  bool changed = false;  // its bytes changed (in a dry run: would change)
};

struct LauncherRecording {
  std::vector<LauncherFileUpdate> files;  // every file that was to take it
  bool recorded() const;
  bool changed() const;
};

enum class LauncherWrite { kWrite, kDryRun };

// Puts `directory` (one final separator dropped) first in the per-user file
// the list was read from (the normal one unless the list came from the
// alternate set) and, when it exists, in the alternate per-user file too,
// each file keeping its own other entries. Both files are tried: one that
// fails does not keep the other from offering the templates. Wizards that
// finish at once take turns (config/launcher_file_lock.h). A file that
// already lists the directory first is not rewritten. A dry run writes and
// locks nothing and tells what would change.
LauncherRecording record_template_directory(const std::u16string& directory,
                                            LauncherWrite mode = LauncherWrite::kWrite);
// Takes `directory` out of the same files' lists, each keeping its others.
LauncherRecording unrecord_template_directory(const std::u16string& directory);
// Either of the two: the directory put first, or (`removing`) taken out.
LauncherRecording change_template_list(const std::u16string& directory, LauncherWrite mode,
                                       bool removing);

#endif  // OVN8_CONFIG_LAUNCHER_RECORD_H_
