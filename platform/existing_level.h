// Walking up a path to the nearest level that is there: where a directory
// that does not exist yet would have its missing levels made, whose
// permissions decide whether it can be, and whose file system holds it.
#ifndef OVN8_PLATFORM_EXISTING_LEVEL_H_
#define OVN8_PLATFORM_EXISTING_LEVEL_H_

#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_system.h"

// Shortens `level` in place, one level at a time, until `isEnd` accepts it:
// `level` itself is asked first, then its parents. `isEnd` sets `end` to
// stop there, or returns an error number that ends the walk with it. 3
// (path not found) when even the last level ("/", or the first name of a
// relative path) is passed over.
typedef std::function<uint32_t(const std::u16string& level, bool& end)> LevelTest;
uint32_t climb_to_level(std::u16string& level, const LevelTest& isEnd);

// The nearest level of `path` (trailing separators dropped) that exists,
// and its status following links: the path itself, else its nearest
// existing parent, which may be a file; a relative path whose levels are
// all missing lies in ".". A level below a file is passed
// over as missing; any other look that fails (a level that cannot be
// searched) blocks the way and is returned. Every look goes through
// FileSystem.
uint32_t nearest_existing_level(const std::u16string& path, std::u16string& level,
                                FileStatus& status);

#endif  // OVN8_PLATFORM_EXISTING_LEVEL_H_
