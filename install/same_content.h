// Whether the file in an entry's place already holds the entry's bytes: the
// sizes first, and only when they match the CRC-32 of the file, read
// whole. Such a file is not rewritten; only its time is set.
#ifndef OVN8_INSTALL_SAME_CONTENT_H_
#define OVN8_INSTALL_SAME_CONTENT_H_

#include <cstdint>
#include <string>

#include "install/install_process_data.h"

// The CRC-32 (zlib's) of the file at `path`, read through the file layer.
uint32_t crc32_of_file(const std::u16string& path, uint32_t& crc);

// `seen` is the status of `path` (not following a link); only a regular
// file can match. A file that cannot be read does not match.
bool holds_entry_content(KitReader& kit, uint32_t index, const std::u16string& path,
                         const FileStatus& seen);

#endif  // OVN8_INSTALL_SAME_CONTENT_H_
