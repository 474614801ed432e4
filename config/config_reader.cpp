// read_config_file: lines of "key=value", the first "=" separating key from
// value. Nothing is trimmed: blanks, tabs and carriage returns stay where
// they stand, and a line without "=" is a key with an empty value.
#include <errno.h>

#include <cstdio>
#include <memory>

#include "config/config_file.h"
#include "config/config_text.h"
#include "platform/text.h"

namespace {

const size_t kBlockBytes = 1024;

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

}  // namespace

bool read_config_file(const std::u16string& path, ConfigFile& config) {
  errno = 0;
  std::unique_ptr<FILE, FileCloser> file(_wfopen(path, u"rb"));
  if (!file) return errno == ENOENT || errno == ENOTDIR;

  LineParser parser(config);
  // Bytes of a character that the block boundary cut in two wait in front
  // of the next block.
  std::string pending;
  char block[kBlockBytes];
  for (;;) {
    const size_t got = fread(block, 1, sizeof block, file.get());
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
