// read_config_file: lines of "key=value", the first "=" separating key from
// value. Nothing is trimmed: blanks, tabs and carriage returns stay where
// they stand, and a line without "=" is a key with an empty value.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "config/config_reader.h"
#include "config/config_text.h"
#include "platform/text.h"

namespace {

const size_t kBlockBytes = 1024;
// A launcher file holds a few lines; anything larger is not one.
const uint64_t kMaxConfigFileBytes = 64 << 20;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

class LineParser {
 public:
  explicit LineParser(ConfigFile& config) : config_(config) {}

  void feed(const std::u16string& units) {
    for (char16_t unit : units) {
      if (unit == u'\n') {
        endLine();
      } else if (unit == u'=' && !inValue_) {
        inValue_ = true;
      } else {
        (inValue_ ? value_ : key_).push_back(unit);
      }
    }
  }

  // The last line counts even without a line feed.
  void finish() { endLine(); }

 private:
  void endLine() {
    if (!key_.empty() || !value_.empty()) add_value_to_config_file(config_, key_, value_);
    key_.clear();
    value_.clear();
    inValue_ = false;
  }

  ConfigFile& config_;
  std::u16string key_;
  std::u16string value_;
  bool inValue_ = false;
};

// Opens the file for reading when it is a regular file of sane size. A FIFO
// or a device (also behind a link) is refused without blocking in open or
// read, and without growing memory from an endless stream.
FILE* open_regular_file(const std::u16string& path, bool& missing) {
  missing = false;
  const int fd = open(narrow_lib(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    missing = errno == ENOENT || errno == ENOTDIR;
    return nullptr;
  }
  struct stat status;
  FILE* file = nullptr;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      uint64_t(status.st_size) <= kMaxConfigFileBytes)
    file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

bool read_config_file(const std::u16string& path, ConfigFile& config) {
  bool missing = false;
  std::unique_ptr<FILE, FileCloser> file(open_regular_file(path, missing));
  if (!file) return missing;

  LineParser parser(config);
  // Bytes of a character that the block boundary cut in two wait in front
  // of the next block.
  std::string pending;
  char block[kBlockBytes];
  uint64_t total = 0;
  for (;;) {
    const size_t got = fread(block, 1, sizeof block, file.get());
    // A file that grows while it is read is not taken whole.
    total += got;
    if (total > kMaxConfigFileBytes) return false;
    const bool final = got == 0;
    pending.append(block, got);
    std::u16string units;
    const size_t used = widen_config_bytes(pending.data(), pending.size(), final, units);
    pending.erase(0, used);
    parser.feed(units);
    if (final) break;
  }
  parser.finish();
  return !ferror(file.get());
}
