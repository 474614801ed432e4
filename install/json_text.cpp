#include "install/json_text.h"

#include <cstdio>

#include "platform/text.h"

std::string quoted(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string quoted(const std::u16string& text) { return quoted(utf16_to_utf8(text)); }

std::string quoted_or_null(const std::u16string& text) { return text.empty() ? "null" : quoted(text); }

std::string boolean(bool value) { return value ? "true" : "false"; }
