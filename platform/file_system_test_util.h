// Helpers for the platform tests: a scratch directory on the real file
// system, environment guards and small POSIX file utilities that do not go
// through FileSystem (so they can check its work independently).
#ifndef OVN8_PLATFORM_FILE_SYSTEM_TEST_UTIL_H_
#define OVN8_PLATFORM_FILE_SYSTEM_TEST_UTIL_H_

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/text.h"

namespace fs_test {

inline std::u16string wide(const std::string& utf8) { return utf8_to_utf16(utf8); }

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

// Removes a tree without following links, independently of FileSystem.
inline void removeTreeIndependently(const std::string& path) {
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A fresh directory below `base` (default: /tmp), removed with its contents.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& base = "/tmp") {
    std::string pattern = base + "/ovn8-fs-test-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    path_ = made != nullptr ? std::string(made) : std::string();
  }
  ~ScratchDir() {
    if (!path_.empty()) removeTreeIndependently(path_);
  }
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullptr, unsets) an environment variable for one scope.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~EnvGuard() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline bool isDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline bool writeText(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

inline std::string readText(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

}  // namespace fs_test

#endif  // OVN8_PLATFORM_FILE_SYSTEM_TEST_UTIL_H_
