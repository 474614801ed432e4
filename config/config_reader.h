// Reads the launcher's configuration file into a ConfigFile.
#ifndef OVN8_CONFIG_CONFIG_READER_H_
#define OVN8_CONFIG_CONFIG_READER_H_

#include <string>

#include "config/config_file.h"

// Adds the lines of the file to `config`, which is not cleared first. A
// missing file adds nothing. Bytes that are not valid in the locale's
// encoding are kept (see config/config_text.h), so a read followed by a
// write gives them back unchanged. Returns false, and adds nothing, when
// the file exists but could not be read to its end, when it is not a
// regular file (a FIFO, a device, also behind a link) and when it is larger
// than 64 MiB; a caller must not rewrite such a file from what it read.
// Reading takes time linear in the file's size.
bool read_config_file(const std::u16string& path, ConfigFile& config);

#endif  // OVN8_CONFIG_CONFIG_READER_H_
