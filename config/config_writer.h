// Writes a ConfigFile as the launcher's configuration file.
#ifndef OVN8_CONFIG_CONFIG_WRITER_H_
#define OVN8_CONFIG_CONFIG_WRITER_H_

#include <cstdint>
#include <string>

#include "config/config_file.h"

// The name of a replacement begins so (hidden, so that a file left by a
// crash does not clutter the directory) and goes on with its inode number.
extern const char16_t kLauncherReplacementPrefix[];

// Replaces the file with the lines of `config`. The new contents go to a
// temporary file in the same directory (without a name until it is
// complete, where the file system allows), which is flushed to disk, given
// the old file's permission bits and renamed over the old file, so a failure
// leaves the old file as it was. Throws the integer 1 when the file cannot
// be created or put in place, and 2 when a line cannot be converted or
// written; no temporary file is left behind.
void write_config_file(const std::u16string& path, const ConfigFile& config);

// The integers write_config_file throws.
enum : int {
  kConfigCannotCreate = 1,  // the file cannot be created or put in place
  kConfigCannotWrite = 2,   // a line cannot be converted or written
};

// How a write ended: 0 in `error` on success; otherwise the file layer's
// error of the step that failed (never 0), the step in words, and the
// integer write_config_file throws for it.
// `changed`: the file's bytes changed (in a dry run: would change); a file
// that already holds exactly these lines is left alone, inode and times.
struct ConfigWriteResult {
  uint32_t error = 0;
  int code = 0;
  std::string step;
  bool changed = true;
  bool ok() const { return error == 0; }
};

// write_config_file that returns how it ended instead of throwing, and that
// leaves a file alone that already holds exactly these lines. A dry run
// only tells whether the file would change (and whether it could be looked
// at), writing nothing.
ConfigWriteResult save_config_file(const std::u16string& path, const ConfigFile& config,
                                   bool dryRun = false);

#endif  // OVN8_CONFIG_CONFIG_WRITER_H_
