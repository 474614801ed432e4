// Writes a ConfigFile as the launcher's configuration file.
#ifndef OVN8_CONFIG_CONFIG_WRITER_H_
#define OVN8_CONFIG_CONFIG_WRITER_H_

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

#endif  // OVN8_CONFIG_CONFIG_WRITER_H_
