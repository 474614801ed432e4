// Path helpers of the installation engine. Paths use "/" throughout; kit
// entry names arrive with "\" separators and are turned into "/" first.
#ifndef OVN8_INSTALL_INSTALL_PATHS_H_
#define OVN8_INSTALL_INSTALL_PATHS_H_

#include <string>

#include "platform/file_system.h"

// `path` without its trailing "/" (the root "/" stays as it is).
std::u16string without_trailing_separator(const std::u16string& path);

// Everything before the last "/" of `path`, the root "/" when that "/" is
// the first unit, and an empty string when `path` holds no "/".
std::u16string parent_directory(const std::u16string& path);

// The form under which the journal knows a path relative to the target
// directory: empty segments and "." segments dropped, segments joined by one
// "/". "a//b", "./a/b" and "a/b" name the same file and get the same key.
// False when a segment is ".." (the path could leave the target directory)
// or nothing is left.
bool relative_path_key(const std::u16string& relative, std::u16string& key);

// `path` for the C library: plain ASCII directly (every locale's encoding
// agrees on it), anything else through narrow_lib.
std::string narrow_path(const std::u16string& path);

// The status of `path` itself (link_status) or of what a link there names
// (file_status), through the file layer. 0 with kind kMissing when nothing
// is there; otherwise 0 or the error number of a look that failed, which
// callers must not take for "missing".
uint32_t link_status(const std::u16string& path, FileStatus& status);
uint32_t file_status(const std::u16string& path, FileStatus& status);

#endif  // OVN8_INSTALL_INSTALL_PATHS_H_
