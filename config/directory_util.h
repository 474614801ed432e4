// File helpers shared by the writer and the writability probe.
#ifndef OVN8_CONFIG_DIRECTORY_UTIL_H_
#define OVN8_CONFIG_DIRECTORY_UTIL_H_

#include <string>

#include "platform/file_system.h"

// The status of what the path names (following links), through the file
// layer; false when it cannot be narrowed, does not exist or cannot be
// looked at.
bool stat_path(const std::u16string& path, FileStatus& status);

// True when `file` lies directly in `directory` (compared by device and
// inode, so "a//b" and "a/b/" name the same directory).
bool lies_in_directory(const std::u16string& file, const std::u16string& directory);

#endif  // OVN8_CONFIG_DIRECTORY_UTIL_H_
