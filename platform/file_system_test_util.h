// Helpers for the platform tests: the shared test toolkit under the names
// these tests use, and wide paths.
#ifndef OVN8_PLATFORM_FILE_SYSTEM_TEST_UTIL_H_
#define OVN8_PLATFORM_FILE_SYSTEM_TEST_UTIL_H_

#include <string>

#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace fs_test {

using testkit::EnvGuard;
using testkit::ScratchDir;
using testkit::exists;
using testkit::isDir;

inline std::u16string wide(const std::string& utf8) { return utf8_to_utf16(utf8); }

inline bool writeText(const std::string& path, const std::string& text) {
  return testkit::writeFile(path, text);
}

// "<missing>" when the file cannot be read.
inline std::string readText(const std::string& path) {
  return testkit::readFile(path, "<missing>");
}

}  // namespace fs_test

#endif  // OVN8_PLATFORM_FILE_SYSTEM_TEST_UTIL_H_
