#include "install/installation_record.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "install/journal_codec.h"
#include "install/journal_file.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

const char kMagicLine[] = "ovn8-installation-record 1";
const char16_t kControlFolderName[] = u".n8ctl";
const char* const kActionNames[] = {"installed", "replaced", "kept-newer", "up-to-date",
                                    "time-updated"};
const size_t kActionCount = sizeof kActionNames / sizeof kActionNames[0];

// Tabs separate fields and newlines end lines, so both (and every other
// control byte) are escaped; everything else is UTF-8 as it is.
std::string escaped(const std::string& text) {
  std::string out;
  for (unsigned char byte : text) {
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      char code[5];
      snprintf(code, sizeof code, "\\x%02x", byte);
      out += code;
    } else {
      out += char(byte);
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescaped(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = text[i];
    if (byte < 0x20 || byte == 0x7F) return false;
    if (byte != '\\') {
      out += char(byte);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int high = hex_digit(text[i + 1]), low = hex_digit(text[i + 2]);
        const int value = high * 16 + low;
        // Only what the writer escapes this way may come back so.
        if (high < 0 || low < 0 || !(value < 0x20 || value == 0x7F) || value == '\t' ||
            value == '\n' || value == '\r')
          return false;
        out += char(value);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// Text that is valid UTF-8 and comes back unchanged from UTF-16.
bool wide_from_utf8(const std::string& text, std::u16string& wide) {
  bool ascii = true;
  for (unsigned char byte : text) ascii = ascii && byte < 0x80;
  if (ascii) {
    wide.assign(text.begin(), text.end());
    return true;
  }
  wide = utf8_to_utf16(text);
  return utf16_to_utf8(wide) == text;
}

// Decimal digits only, no sign, no leading zero, no overflow.
bool parse_unsigned(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t next = value * 10 + uint64_t(c - '0');
    if (next / 10 != value) return false;
    value = next;
  }
  return true;
}

bool parse_signed(std::string_view text, int64_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (!parse_unsigned(negative ? text.substr(1) : text, magnitude)) return false;
  if (magnitude > uint64_t(INT64_MAX) || (negative && magnitude == 0)) return false;
  value = negative ? -int64_t(magnitude) : int64_t(magnitude);
  return true;
}

bool parse_hex32(std::string_view text, uint32_t& value) {
  if (text.size() != 8) return false;
  value = 0;
  for (char c : text) {
    const int digit = hex_digit(c);
    if (digit < 0) return false;
    value = value << 4 | uint32_t(digit);
  }
  return true;
}

}  // namespace

bool is_sha256_text(const std::string& text) {
  if (text.empty()) return true;
  if (text.size() != 64) return false;
  for (char c : text)
    if (hex_digit(c) < 0) return false;
  return true;
}

namespace {

std::string utc_text(int64_t seconds) {
  const time_t when = time_t(seconds);
  struct tm utc;
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool parse_utc_text(const std::string& text, int64_t& seconds) {
  struct tm utc = {};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  if (end == nullptr || *end != '\0') return false;
  seconds = int64_t(timegm(&utc));
  return utc_text(seconds) == text;
}

// The lines of a record, each taken off the front in the order written.
class LineReader {
 public:
  explicit LineReader(const std::string& text) : text_(text) {}
  bool next(std::string_view& line) {
    if (at_ >= text_.size()) return false;
    const size_t end = text_.find('\n', at_);
    if (end == std::string::npos) return false;  // every line ends with a newline
    line = std::string_view(text_).substr(at_, end - at_);
    at_ = end + 1;
    return true;
  }
  // The value of the next line "<name>\t<value>".
  bool field(const char* name, std::string& value) {
    std::string_view line;
    const std::string prefix = std::string(name) + "\t";
    if (!next(line) || line.compare(0, prefix.size(), prefix) != 0) return false;
    value = std::string(line.substr(prefix.size()));
    return true;
  }
  bool textField(const char* name, std::u16string& value) {
    std::string raw, plain;
    return field(name, raw) && unescaped(raw, plain) && wide_from_utf8(plain, value);
  }
  size_t position() const { return at_; }
  bool atEnd() const { return at_ == text_.size(); }

 private:
  const std::string& text_;
  size_t at_ = 0;
};

// The TAB-separated fields of `line`, as long as there are at most
// `most`; false when there are more.
template <size_t most>
bool split_tabs(std::string_view line, std::string_view (&parts)[most], size_t& count) {
  count = 0;
  for (;;) {
    if (count == most) return false;
    const size_t tab = line.find('\t');
    parts[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos) return true;
    line.remove_prefix(tab + 1);
  }
}

bool is_record_key(const std::u16string& path) {
  return is_plain_journal_key(path) && !is_control_folder_key(path);
}

bool decode_entry(std::string_view line, RecordEntry& entry) {
  std::string_view parts[5];
  size_t count = 0;
  if (!split_tabs(line, parts, count) || count != 5) return false;
  size_t action = 0;
  while (action < kActionCount && parts[0] != kActionNames[action]) ++action;
  if (action == kActionCount) return false;
  entry.action = RecordAction(action);
  std::string path;
  return parse_unsigned(parts[1], entry.size) && parse_hex32(parts[2], entry.crc32) &&
         parse_signed(parts[3], entry.writeSeconds) && unescaped(parts[4], path) &&
         wide_from_utf8(path, entry.path) && is_record_key(entry.path);
}

}  // namespace

bool is_users_own(const FileStatus& status, FileKind kind) {
  return status.kind == kind && status.owner == uint32_t(geteuid()) && (status.mode & 022) == 0;
}

bool is_control_folder_key(const std::u16string& key) {
  return key.compare(0, key.find(u'/'), kControlFolderName) == 0;
}

bool is_put_by_installation(RecordAction action) {
  return action == RecordAction::kInstalled || action == RecordAction::kReplaced;
}

std::string encode_record(const InstallationRecord& record) {
  std::string text = std::string(kMagicLine) + "\n";
  text += "product\t" + escaped(utf16_to_utf8(record.kit.product)) + "\n";
  text += "vendor\t" + escaped(utf16_to_utf8(record.kit.vendor)) + "\n";
  text += "kit-size\t" + std::to_string(record.kit.size) + "\n";
  text += "kit-sha256\t" + record.kit.sha256 + "\n";
  text += "kit-version\t" + escaped(utf16_to_utf8(record.kit.version)) + "\n";
  text += "installed\t" + utc_text(record.installedAt) + "\n";
  text += "wizard\t" + escaped(record.wizardVersion) + "\n";
  text += "entries\t" + std::to_string(record.entries.size()) + "\n";
  for (const RecordEntry& entry : record.entries) {
    text += std::string(kActionNames[size_t(entry.action)]) + "\t" + std::to_string(entry.size) +
            "\t" + crc_text(entry.crc32) + "\t" + std::to_string(entry.writeSeconds) + "\t" +
            escaped(utf16_to_utf8(entry.path)) + "\n";
  }
  return text + "end\t" + crc_text(crc_of(text.data(), text.size())) + "\n";
}

bool decode_record(const std::string& bytes, InstallationRecord& record) {
  record = InstallationRecord();
  LineReader lines(bytes);
  std::string_view line;
  std::string value;
  if (!lines.next(line) || line != kMagicLine) return false;
  if (!lines.textField("product", record.kit.product) ||
      !lines.textField("vendor", record.kit.vendor))
    return false;
  if (!lines.field("kit-size", value) || !parse_unsigned(value, record.kit.size)) return false;
  if (!lines.field("kit-sha256", record.kit.sha256) || !is_sha256_text(record.kit.sha256))
    return false;
  if (!lines.textField("kit-version", record.kit.version)) return false;
  if (!lines.field("installed", value) || !parse_utc_text(value, record.installedAt)) return false;
  std::string wizard;
  if (!lines.field("wizard", wizard) || !unescaped(wizard, record.wizardVersion)) return false;
  uint64_t count = 0;
  if (!lines.field("entries", value) || !parse_unsigned(value, count)) return false;
  // Each entry takes at least a dozen bytes: a count beyond that is a lie.
  if (count > bytes.size() / 12) return false;
  record.entries.resize(size_t(count));
  for (RecordEntry& entry : record.entries)
    if (!lines.next(line) || !decode_entry(line, entry)) return false;
  const size_t summed = lines.position();
  uint32_t crc = 0;
  if (!lines.field("end", value) || !parse_hex32(value, crc) || !lines.atEnd()) return false;
  return crc == crc_of(bytes.data(), summed);
}

bool same_installation(const InstallationRecord& a, const InstallationRecord& b) {
  if (a.kit.product != b.kit.product || a.kit.vendor != b.kit.vendor || a.kit.size != b.kit.size ||
      a.kit.sha256 != b.kit.sha256 || a.kit.version != b.kit.version ||
      a.entries.size() != b.entries.size())
    return false;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const RecordEntry& x = a.entries[i];
    const RecordEntry& y = b.entries[i];
    if (x.path != y.path || x.size != y.size || x.crc32 != y.crc32 ||
        x.writeSeconds != y.writeSeconds || x.action != y.action)
      return false;
  }
  return true;
}

std::u16string control_folder(const std::u16string& target) {
  return target + kControlFolderName + u"/";
}

std::u16string record_path(const std::u16string& target) {
  return control_folder(target) + u"record";
}

uint32_t read_installation_record(const std::u16string& target, InstallationRecord& record) {
  std::string bytes;
  const uint32_t result = read_installation_record_bytes(target, bytes);
  if (result != ERROR_SUCCESS) return result;
  return decode_record(bytes, record) ? uint32_t(ERROR_SUCCESS) : uint32_t(ERROR_INVALID_DATA);
}

uint32_t read_installation_record_bytes(const std::u16string& target, std::string& bytes) {
  bytes.clear();
  FileStatus folder, file;
  uint32_t result = link_status(without_trailing_separator(control_folder(target)), folder);
  if (result == ERROR_SUCCESS) result = link_status(record_path(target), file);
  if (result != ERROR_SUCCESS) return result;
  if (!folder.exists() || !file.exists()) return ERROR_FILE_NOT_FOUND;
  if (!is_users_own(folder, FileKind::kDirectory) || !is_users_own(file, FileKind::kRegular))
    return ERROR_INVALID_DATA;
  return read_small_file(record_path(target), bytes);
}
