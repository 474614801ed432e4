// Helpers of the configuration tests: a temporary home directory and plain
// byte-level file access, independent of the code under test.
#ifndef OVN8_CONFIG_CONFIG_TEST_UTIL_H_
#define OVN8_CONFIG_CONFIG_TEST_UTIL_H_

#include <filesystem>
#include <set>
#include <string>

#include "platform/test_toolkit.h"
#include "platform/text.h"

// A fresh directory that serves as HOME while the object lives; the old
// value of HOME comes back and the directory is removed afterwards.
class TemporaryHome {
 public:
  TemporaryHome()
      : scratch_(testkit::temporaryBase(), "ovn8-home"), home_("HOME", scratch_.path().c_str()) {}
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return scratch_.path(); }
  std::string operator/(const std::string& relative) const { return scratch_ / relative; }

 private:
  testkit::ScratchDir scratch_;
  testkit::EnvGuard home_;
};

inline std::u16string wide(const std::string& utf8) { return utf8_to_utf16(utf8); }

// Writes the bytes, creating missing parent directories.
inline void write_bytes(const std::string& path, const std::string& bytes) {
  testkit::makeDirs(path.substr(0, path.rfind('/')));
  testkit::writeFile(path, bytes);
}

inline std::string read_bytes(const std::string& path) { return testkit::readFile(path); }

inline std::set<std::string> entries_of(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

#endif  // OVN8_CONFIG_CONFIG_TEST_UTIL_H_
