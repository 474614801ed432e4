// Helpers shared by the kit's tests: a scratch directory that also serves
// as the temporary directory (so leftover containers can be counted), and
// small file utilities.
#ifndef OVN8_KIT_KIT_TEST_SUPPORT_H_
#define OVN8_KIT_KIT_TEST_SUPPORT_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit/kit_reader.h"
#include "kit/lz_compressor.h"
#include "platform/file_system.h"
#include "platform/test_toolkit.h"
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

// A scratch folder with "tmp" (made the process's TMPDIR) and "out" below
// it; removed with everything in it at the end.
class KitScene {
 public:
  KitScene() : scratch_(testkit::temporaryBase(), "kittest"), tmpdir_("TMPDIR", tmp().c_str()) {
    mkdir(tmp().c_str(), 0700);
    mkdir(out().c_str(), 0700);
  }
  KitScene(const KitScene&) = delete;
  KitScene& operator=(const KitScene&) = delete;

  const std::string& root() const { return scratch_.path(); }
  std::string tmp() const { return root() + "/tmp"; }
  std::string out() const { return root() + "/out"; }
  std::string path(const std::string& name) const { return root() + "/" + name; }
  std::u16string wide(const std::string& name) const { return widen_lib(path(name)); }
  // The user's private folder in the temporary directory.
  std::string privateTmp() const { return testkit::privateTempFolder(tmp()); }
  // Leftover containers.
  std::vector<std::string> tmpFiles() const { return testkit::leftInTemp(tmp()); }

 private:
  testkit::ScratchDir scratch_;
  testkit::EnvGuard tmpdir_;
};

using testkit::readFile;

using testkit::modificationTime;

// Number of open descriptors of this process (to catch leaked handles).
inline size_t openDescriptors() { return testkit::entryNames("/proc/self/fd").size(); }

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

// The okdpack program of this build ($OVN8_BUILD_DIR/okdpack); empty when
// it is not built.
inline std::string okdpackTool() {
  const char* buildDir = getenv("OVN8_BUILD_DIR");
  const std::string tool = std::string(buildDir != nullptr ? buildDir : ".") + "/okdpack";
  return access(tool.c_str(), X_OK) == 0 ? tool : std::string();
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
