// Helpers shared by the kit's tests: a scratch directory that also serves
// as the temporary directory (so leftover containers can be counted), and
// small file utilities.
#ifndef OVN8_KIT_KIT_TEST_SUPPORT_H_
#define OVN8_KIT_KIT_TEST_SUPPORT_H_

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit/kit_reader.h"
#include "kit/lz_compressor.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace kittest {

using config::KitReader;

// The ways an opened container is kept: in a temporary file (zlib), or in
// memory, decoded by the whole-buffer decoder or by zlib.
enum class ContainerMode { kFile, kMemoryFastest, kMemoryZlib };
const ContainerMode kAllModes[] = {ContainerMode::kFile, ContainerMode::kMemoryFastest,
                                   ContainerMode::kMemoryZlib};

inline std::string modeName(ContainerMode mode) {
  return mode == ContainerMode::kFile ? "file" : mode == ContainerMode::kMemoryZlib ? "memory, zlib" : "memory";
}

// Pins `reader` to `mode`, whatever memory the machine has free.
template <class Reader>
void useMode(Reader& reader, ContainerMode mode) {
  reader.setMemoryLimit(mode == ContainerMode::kFile ? 0 : 1u << 30);
  reader.setInflater(mode == ContainerMode::kMemoryZlib ? Inflater::kZlib : Inflater::kFastest);
}

// A fresh directory with "tmp" (made the process's TMPDIR) and "out" below
// it; removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/kittest.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    root_ = mkdtemp(buffer.data());
    mkdir(tmp().c_str(), 0700);
    mkdir(out().c_str(), 0700);
    previousTmpdir_ = base != nullptr ? base : "";
    hadTmpdir_ = base != nullptr;
    setenv("TMPDIR", tmp().c_str(), 1);
  }
  ~ScratchDir() {
    if (hadTmpdir_) setenv("TMPDIR", previousTmpdir_.c_str(), 1);
    else unsetenv("TMPDIR");
    std::string command = "rm -rf '" + root_ + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& root() const { return root_; }
  std::string tmp() const { return root_ + "/tmp"; }
  std::string out() const { return root_ + "/out"; }
  std::string path(const std::string& name) const { return root_ + "/" + name; }
  std::u16string wide(const std::string& name) const { return widen_lib(path(name)); }
  // Files in the temporary directory (leftover containers).
  std::vector<std::string> tmpFiles() const { return list(tmp()); }

  static std::vector<std::string> list(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* stream = opendir(directory.c_str())) {
      while (const dirent* item = readdir(stream)) {
        std::string name = item->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(stream);
    }
    return names;
  }

 private:
  std::string root_;
  std::string previousTmpdir_;
  bool hadTmpdir_ = false;
};

inline std::string readFile(const std::string& path) {
  std::string bytes;
  if (FILE* in = fopen(path.c_str(), "rb")) {
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, got);
    fclose(in);
  }
  return bytes;
}

inline int64_t modificationTime(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? int64_t(status.st_mtime) : -1;
}

// Number of open descriptors of this process (to catch leaked handles).
inline size_t openDescriptors() { return ScratchDir::list("/proc/self/fd").size(); }

// Runs a shell command; its standard output and error, and its status.
inline std::string run(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  *status = pclose(pipe);
  return output;
}

// Deterministic bytes: compressible text mixed with noise.
inline std::string patternBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = (i / 64) % 2 ? char(state >> 24) : char('a' + (i * 7 + seed) % 26);
  }
  return bytes;
}

}  // namespace kittest

#endif  // OVN8_KIT_KIT_TEST_SUPPORT_H_
