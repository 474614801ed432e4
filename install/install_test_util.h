// Helpers of the engine tests: template trees made and inspected with plain
// POSIX calls (independently of FileSystem), and kits built in one call.
#ifndef OVN8_INSTALL_INSTALL_TEST_UTIL_H_
#define OVN8_INSTALL_INSTALL_TEST_UTIL_H_

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "install/install_process_data.h"
#include "kit/kit_writer.h"
#include "platform/file_system.h"
#include "platform/file_system_test_util.h"
#include "platform/text.h"

namespace install_test {

using fs_test::EnvGuard;
using fs_test::ScratchDir;
using fs_test::exists;
using fs_test::isDir;
using fs_test::readText;
using testkit::entryNames;
using testkit::differences;
using testkit::makeDirs;
using testkit::modificationTime;
using testkit::snapshot;

// Seconds since 1970 as a kit time.
inline _FILETIME kitTime(int64_t seconds) { return EpochToFileTime(seconds); }

inline void setTimes(const std::string& path, int64_t seconds, long nanoseconds = 0) {
  struct timespec times[2] = {{time_t(seconds), nanoseconds}, {time_t(seconds), nanoseconds}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// A file with `content`, `mode` and a modification time of `seconds`.
inline void writeFile(const std::string& path, const std::string& content, int64_t seconds,
                      mode_t mode = 0644) {
  makeDirs(path.substr(0, path.rfind('/')));
  fs_test::writeText(path, content);
  chmod(path.c_str(), mode);
  setTimes(path, seconds, 0);
}

// What runs left in the home directory: its entries other than the state
// folder, and the run records in that folder.
inline std::vector<std::string> leftInHome(const std::string& home) {
  std::vector<std::string> left;
  for (const std::string& name : entryNames(home)) {
    if (name != ".ovn8setup") {
      left.push_back(name);
      continue;
    }
    for (const std::string& record : entryNames(home + "/" + name)) left.push_back(name + "/" + record);
  }
  return left;
}

// Names in `dir` that begin with ".n8stp" (runs' private folders).
inline std::vector<std::string> privateFoldersIn(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : entryNames(dir))
    if (name.compare(0, 6, ".n8stp") == 0) found.push_back(name);
  return found;
}

// Writes a kit of `files` into `dir` and opens it with `reader`, as the
// wizard does (streamed: the writer lays entries out in table order).
inline bool openKit(const std::string& dir, const std::vector<config::KitFileSpec>& files,
                    KitReader& reader) {
  std::string path = dir + "/ovn8.okd";
  std::string error;
  if (!config::writeKit(path, files, &error)) return false;
  return reader.openStreamed(widen_lib(path)) == ERROR_SUCCESS && reader.streamed();
}

// A scratch area with a template directory and a private temporary
// directory (TMPDIR), so that backup folders can be watched.
class InstallScene {
 public:
  // `base` holds the scratch area: a file system in memory spares the
  // sweeps the cost of their many syncs.
  explicit InstallScene(const std::string& base = "/tmp")
      : scratch_(base), tmpGuard_("TMPDIR", nullptr), homeGuard_("HOME", nullptr) {
    templateDir_ = scratch_ / "templates";
    tempDir_ = scratch_ / "tmp";
    homeDir_ = scratch_ / "home";
    mkdir(templateDir_.c_str(), 0755);
    mkdir(tempDir_.c_str(), 0755);
    mkdir(homeDir_.c_str(), 0755);
    setenv("TMPDIR", tempDir_.c_str(), 1);
    setenv("HOME", homeDir_.c_str(), 1);
  }
  const std::string& templateDir() const { return templateDir_; }
  const std::string& tempDir() const { return tempDir_; }
  const std::string& homeDir() const { return homeDir_; }
  std::string operator/(const std::string& name) const { return templateDir_ + "/" + name; }
  std::string scratch(const std::string& name) const { return scratch_ / name; }

 private:
  ScratchDir scratch_;
  EnvGuard tmpGuard_;
  EnvGuard homeGuard_;
  std::string templateDir_;
  std::string tempDir_;
  std::string homeDir_;
};

}  // namespace install_test

#endif  // OVN8_INSTALL_INSTALL_TEST_UTIL_H_
