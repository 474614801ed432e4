// libFuzzer target: arbitrary bytes as an unpacked container (compressed
// first) and as a compressed kit, opened with the kit reader; every entry
// of a kit that opens is extracted. Besides crashes and sanitizer reports
// it stops on a broken promise of the reader: an entry outside the
// container, an unsafe name, or a temporary container left behind.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kit/kit_reader.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "kit/lz_compressor.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace {

using config::KitReader;

// Bounds on what one input may extract: entries may share their bytes, so
// a small container can describe far more output than it holds.
const size_t kMaxEntriesExtracted = 256;
const uint64_t kMaxBytesExtracted = 8u << 20;

std::string g_base;  // private folder: kit, tmp/ (the TMPDIR), out/

void removeBase() {
  if (!g_base.empty()) FileSystem::RemoveDirectory(widen_lib(g_base));
}

void check(bool condition, const char* broken) {
  if (condition) return;
  fprintf(stderr, "kit reader broke its promise: %s\n", broken);
  abort();
}

void extractAll(KitReader& reader) {
  const std::u16string out = widen_lib(g_base + "/out/");
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < reader.entries.size() && i < kMaxEntriesExtracted; ++i) {
    const config::KitEntry& entry = reader.entries[i];
    check(uint64_t(entry.offset) + entry.size <= reader.containerSize(), "entry outside the container");
    check(config::isSafeEntryName(entry.name), "unsafe entry name");
    bytes += entry.size;
    if (bytes > kMaxBytesExtracted) break;
    std::u16string path = out + entry.name;
    replace_all(path, kBadPathSeparator, kPathSeparator);
    FileSystem::CreateDirectory(path.substr(0, path.rfind(u'/')));
    // Names may clash (a file "a" and an entry "a\b") or be too long for
    // the file system; such copies fail, and that is fine.
    reader.copy(i, path);
  }
  FileSystem::RemoveDirectory(widen_lib(g_base + "/out"));
}

// The container in a temporary file (limit 0) or in memory.
void openAndExtract(const std::string& kitBytes, uint64_t memoryLimit) {
  const std::string kitPath = g_base + "/ovn8.okd";
  if (!config::writeFileBytes(kitPath, kitBytes)) abort();
  {
    KitReader reader;
    reader.setMemoryLimit(memoryLimit);
    const uint32_t result = reader.open(widen_lib(kitPath));
    check((result == 0) == reader.isOpen(), "open result and handle disagree");
    if (result == 0) {
      extractAll(reader);
    } else {
      check(reader.entries.empty(), "entries kept after a failed open");
      check(reader.temporaryPath().empty(), "temporary container kept after a failed open");
    }
  }
  const std::string tmp = g_base + "/tmp";
  const std::string folder = tmp + "/ovn8-" + std::to_string(geteuid());
  check(access(tmp.c_str(), F_OK) == 0, "temporary directory gone");
  // The reader is gone: nothing of it may stay in its private folder or
  // anywhere else in the temporary directory.
  check(access(folder.c_str(), F_OK) != 0 || rmdir(folder.c_str()) == 0,
        "temporary container outlived its reader");
  check(rmdir(tmp.c_str()) == 0, "the reader left something in the temporary directory");
  check(mkdir(tmp.c_str(), 0700) == 0, "cannot recreate the temporary directory");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_locale_from_environment();
  // Memory-backed when possible: every input creates and removes files.
  const char* parent = getenv("TMPDIR");
  if (parent == nullptr || *parent == '\0') parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(parent) + "/kitfuzz.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) abort();
  g_base = pattern;
  if (mkdir((g_base + "/tmp").c_str(), 0700) != 0) abort();
  setenv("TMPDIR", (g_base + "/tmp").c_str(), 1);
  atexit(removeBase);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (uint64_t limit : {uint64_t(0), uint64_t(1) << 30}) {
    openAndExtract(config::deflateRaw(bytes, 1), limit);  // the input as the unpacked container
    openAndExtract(bytes, limit);                         // the input as the kit file itself
  }
  return 0;
}
