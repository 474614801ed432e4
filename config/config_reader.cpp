// read_config_file: lines of "key=value", the first "=" separating key from
// value. Nothing is trimmed: blanks, tabs and carriage returns stay where
// they stand, and a line without "=" is a key with an empty value.
#include "config/config_reader.h"
#include "config/config_text.h"
#include "platform/errors.h"
#include "platform/regular_file.h"

namespace {

// A launcher file holds a few lines; anything larger is not one.
const uint64_t kMaxConfigFileBytes = 64 << 20;

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
  // A FIFO or a device (also behind a link) is refused without blocking,
  // and an endless stream never fills memory.
  std::string bytes;
  const uint32_t result = read_regular_file(path, kMaxConfigFileBytes, bytes);
  if (result == ERROR_FILE_NOT_FOUND || result == ERROR_NOT_A_FOLDER) return true;
  if (result != ERROR_SUCCESS) return false;
  std::u16string units;
  widen_config_bytes(bytes.data(), bytes.size(), true, units);
  LineParser parser(config);
  parser.feed(units);
  parser.finish();
  return true;
}
