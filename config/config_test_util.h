// Helpers of the configuration tests: a temporary home directory and plain
// byte-level file access, independent of the code under test.
#ifndef OVN8_CONFIG_CONFIG_TEST_UTIL_H_
#define OVN8_CONFIG_CONFIG_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/text.h"

// A fresh directory that serves as HOME while the object lives; the old
// value of HOME comes back and the directory is removed afterwards.
class TemporaryHome {
 public:
  TemporaryHome() {
    const char* old = getenv("HOME");
    hadHome_ = old != nullptr;
    if (hadHome_) oldHome_ = old;
    std::string pattern = std::filesystem::temp_directory_path().string() + "/ovn8-home-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
    setenv("HOME", path_.c_str(), 1);
  }
  ~TemporaryHome() {
    if (hadHome_) {
      setenv("HOME", oldHome_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
  std::string oldHome_;
  bool hadHome_ = false;
};

inline std::u16string wide(const std::string& utf8) { return utf8_to_utf16(utf8); }

// Writes the bytes, creating missing parent directories.
inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline std::set<std::string> entries_of(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

#endif  // OVN8_CONFIG_CONFIG_TEST_UTIL_H_
