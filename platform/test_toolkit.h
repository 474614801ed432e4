// What every test binary needs around the code under test: a scratch
// folder, an environment guard, whole files read and written, and trees
// made and removed. Plain POSIX calls only, never FileSystem (so tests can
// check its work independently) and never a shell.
#ifndef OVN8_PLATFORM_TEST_TOOLKIT_H_
#define OVN8_PLATFORM_TEST_TOOLKIT_H_

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace testkit {

inline int removeTreeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

// Removes the file, link or whole tree at `path`, never following a link.
// A missing path is fine; "", "/" and relative paths are refused.
inline void removeTree(const std::string& path) {
  if (path.size() < 2 || path[0] != '/') return;
  nftw(path.c_str(), removeTreeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes the directory `path` and its missing parents (mode 0755 before the
// umask); true when a directory stands there afterwards.
inline bool makeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) break;
  }
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The whole content of the file at `path`; `whenMissing` when it cannot be
// opened.
inline std::string readFile(const std::string& path,
                            const std::string& whenMissing = std::string()) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return whenMissing;
  std::string bytes;
  char chunk[65536];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, size_t(got));
  close(fd);
  return bytes;
}

// Replaces the file at `path` with `bytes` (mode 0644 for a new file); its
// folder must exist. True when every byte was written.
inline bool writeFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += size_t(wrote);
  }
  return close(fd) == 0 && done == bytes.size();
}

// True when anything (a dangling link included) stands at `path`.
inline bool exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// True for a real directory, not a link to one.
inline bool isDir(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The names in `directory` without "." and "..", in the order it gives them.
inline std::vector<std::string> entryNames(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* stream = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
  }
  return names;
}

// The same names, sorted and without repeats.
inline std::set<std::string> entryNameSet(const std::string& directory) {
  const std::vector<std::string> names = entryNames(directory);
  return std::set<std::string>(names.begin(), names.end());
}

// Seconds of the last modification of what stands at `path` (a link
// itself, not what it names); -1 when nothing does.
inline int64_t modificationTime(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? int64_t(status.st_mtime) : -1;
}

// One line per node below `root`: relative name, type, mode, modification
// time to the nanosecond, and the content (files) or target (links). Two
// equal snapshots mean an unchanged tree.
inline void snapshotInto(const std::string& root, const std::string& relative,
                         std::map<std::string, std::string>& nodes) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  std::string line = std::to_string(status.st_mode) + " " + std::to_string(status.st_mtim.tv_sec) +
                     "." + std::to_string(status.st_mtim.tv_nsec) + " ";
  if (S_ISREG(status.st_mode)) {
    line += "file " + readFile(path);
  } else if (S_ISLNK(status.st_mode)) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    line += "link " + std::string(target, n > 0 ? size_t(n) : 0);
  } else if (S_ISDIR(status.st_mode)) {
    line += "dir";
    for (const std::string& name : entryNames(path))
      snapshotInto(root, relative.empty() ? name : relative + "/" + name, nodes);
  } else {
    line += "other";
  }
  nodes[relative.empty() ? "." : relative] = line;
}

inline std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> nodes;
  snapshotInto(root, "", nodes);
  return nodes;
}

// Empty when equal; otherwise the nodes that differ.
inline std::string differences(const std::map<std::string, std::string>& before,
                               const std::map<std::string, std::string>& after) {
  std::string out;
  for (const auto& node : before) {
    auto found = after.find(node.first);
    if (found == after.end())
      out += "lost " + node.first + "\n";
    else if (found->second != node.second)
      out += "changed " + node.first + ": " + node.second.substr(0, 60) + " -> " +
             found->second.substr(0, 60) + "\n";
  }
  for (const auto& node : after)
    if (before.count(node.first) == 0) out += "new " + node.first + "\n";
  return out;
}

// The wizard's private folder in the temporary directory `tmp`.
inline std::string privateTempFolder(const std::string& tmp) {
  return tmp + "/ovn8-" + std::to_string(geteuid());
}

// What runs left in the temporary directory `tmp`: its entries but the
// private folder, and the entries in that folder.
inline std::vector<std::string> leftInTemp(const std::string& tmp) {
  std::vector<std::string> left = entryNames(privateTempFolder(tmp));
  for (const std::string& name : entryNames(tmp))
    if (tmp + "/" + name != privateTempFolder(tmp)) left.push_back(name);
  return left;
}

// TMPDIR when set and not empty, else /tmp.
inline std::string temporaryBase() {
  const char* tmpdir = getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir ? std::string(tmpdir) : std::string("/tmp");
}

// A fresh directory below `base`, named after `tag`; removed with its
// contents at the end. path() is empty when it could not be made.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& base = "/tmp", const std::string& tag = "ovn8-test") {
    std::string pattern = base + "/" + tag + "-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    if (!path_.empty()) removeTree(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullptr, unsets) an environment variable for one scope;
// the old value, or its absence, comes back at the end.
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
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// The names made in a directory while the watch lives (inotify: created
// or moved in), so that a name that came and went again is seen too.
class CreationWatch {
 public:
  explicit CreationWatch(const std::string& dir) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0 && inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~CreationWatch() {
    if (fd_ >= 0) close(fd_);
  }
  CreationWatch(const CreationWatch&) = delete;
  CreationWatch& operator=(const CreationWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The names made since the last call, in order.
  std::vector<std::string> names() {
    std::vector<std::string> made;
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while (fd_ >= 0 && (got = read(fd_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + got;) {
        const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
        made.push_back(event->len > 0 ? std::string(event->name) : std::string());
        at += sizeof(inotify_event) + event->len;
      }
    }
    return made;
  }

 private:
  int fd_;
};

}  // namespace testkit

#endif  // OVN8_PLATFORM_TEST_TOOLKIT_H_
