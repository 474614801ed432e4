// Small path helpers shared by the writer and the writability probe.
#ifndef OVN8_CONFIG_DIRECTORY_UTIL_H_
#define OVN8_CONFIG_DIRECTORY_UTIL_H_

#include <sys/stat.h>

#include <string>

// The part of `path` before its last "/": "/" for "/name", "." for "name".
std::u16string directory_of(const std::u16string& path);

// stat of the path; false when it cannot be narrowed or does not exist.
bool stat_path(const std::u16string& path, struct stat& status);

// True when `file` lies directly in `directory` (compared by device and
// inode, so "a//b" and "a/b/" name the same directory).
bool lies_in_directory(const std::u16string& file, const std::u16string& directory);

#endif  // OVN8_CONFIG_DIRECTORY_UTIL_H_
