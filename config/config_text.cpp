#include "config/config_text.h"

#include <climits>
#include <cstring>

#include "platform/text.h"

namespace {

const char16_t kCarriedByteBase = 0xDC00;

// The longest character any locale encoding may use; a shorter rest of a
// block may be a character cut in two.
const size_t kMaxCharBytes = MB_LEN_MAX;

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

bool is_carried_byte(const std::u16string& text, size_t i) {
  const char16_t u = text[i];
  if (u < kCarriedByteBase || u > kCarriedByteBase + 0xFF) return false;
  return i == 0 || !is_high_surrogate(text[i - 1]);
}

// Converts exactly bytes[0, size), which hold no zero byte, and appends the
// result; false (nothing appended) when they are not whole valid characters.
bool convert(const char* bytes, size_t size, std::u16string& out) {
  if (size == 0) return true;
  const std::string source(bytes, size);  // zero-terminated copy
  std::u16string units(size, u'\0');
  int n = MultiByteToWideChar(0, 0, source.c_str(), static_cast<int>(size), &units[0],
                              static_cast<int>(units.size()));
  if (n < 0) return false;
  if (static_cast<size_t>(n) > units.size()) {
    units.resize(static_cast<size_t>(n));
    MultiByteToWideChar(0, 0, source.c_str(), static_cast<int>(size), &units[0], n);
  }
  out.append(units, 0, static_cast<size_t>(n));
  return true;
}

// Appends the character that begins at `bytes` and returns its length, or 0
// when no character begins there.
size_t convert_one(const char* bytes, size_t available, std::u16string& out) {
  const size_t longest = available < kMaxCharBytes ? available : kMaxCharBytes;
  for (size_t length = 1; length <= longest; ++length) {
    if (convert(bytes, length, out)) return length;
  }
  return 0;
}

// Converts a run without zero bytes; returns where it stopped (before a
// character cut off by the end of the buffer when `final` is false).
size_t widen_run(const char* bytes, size_t begin, size_t end, bool final, std::u16string& out) {
  // Plain ASCII before the first other byte means the same in every locale
  // encoding (a byte of a longer character only ever follows a byte above
  // 0x7F), and launcher files are mostly ASCII: no conversion call for it.
  while (begin < end && static_cast<unsigned char>(bytes[begin]) < 0x80)
    out.push_back(static_cast<char16_t>(bytes[begin++]));
  if (begin == end) return end;
  const size_t length = end - begin;
  if (convert(bytes + begin, length, out)) return end;
  if (!final) {
    // Usually the block boundary cut the last character: convert the rest.
    for (size_t cut = 1; cut < kMaxCharBytes && cut <= length; ++cut) {
      if (cut == length) return begin;
      if (convert(bytes + begin, length - cut, out)) return end - cut;
    }
  }
  // Invalid bytes somewhere: one character at a time, carrying bad bytes.
  size_t pos = begin;
  while (pos < end) {
    const size_t n = convert_one(bytes + pos, end - pos, out);
    if (n > 0) {
      pos += n;
      continue;
    }
    if (!final && end - pos < kMaxCharBytes) return pos;
    out.push_back(static_cast<char16_t>(kCarriedByteBase + static_cast<unsigned char>(bytes[pos])));
    ++pos;
  }
  return end;
}

}  // namespace

size_t widen_config_bytes(const char* bytes, size_t size, bool final, std::u16string& out) {
  size_t pos = 0;
  while (pos < size) {
    if (bytes[pos] == '\0') {
      out.push_back(u'\0');
      ++pos;
      continue;
    }
    const void* zero = memchr(bytes + pos, '\0', size - pos);
    const size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - bytes) : size;
    // A zero byte never lies inside a character, so a run that it ends is whole.
    pos = widen_run(bytes, pos, end, final || end < size, out);
    if (pos < end) return pos;
  }
  return size;
}

bool narrow_config_text(const std::u16string& text, std::string& out) {
  bool ok = true;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u'\0') {
      out.push_back('\0');
      ++i;
      continue;
    }
    if (is_carried_byte(text, i)) {
      out.push_back(static_cast<char>(text[i] - kCarriedByteBase));
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && text[j] != u'\0' && !is_carried_byte(text, j)) ++j;
    const std::u16string run = text.substr(i, j - i);
    std::string bytes = narrow_lib(run);
    if (bytes.empty()) {
      ok = false;
      bytes = utf16_to_utf8(run);
    }
    out += bytes;
    i = j;
  }
  return ok;
}
