#include "platform/text.h"

#include <errno.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include <climits>
#include <algorithm>
#include <cstdint>
#include <vector>

const std::u16string kPathSeparator = u"/";
const std::u16string kBadPathSeparator = u"\\";

namespace {

bool is_plain_ascii_codeset(locale_t loc) {
  const char* codeset = nl_langinfo_l(CODESET, loc);
  return codeset == nullptr || strcmp(codeset, "ANSI_X3.4-1968") == 0;
}

// The character set of the locale the environment names. The plain C/POSIX
// locale cannot carry the interface texts or non-ASCII file names at all, so
// there the UTF-8 variant of C stands in (file names and the toolkit are UTF-8
// anyway). Created once; C++ guarantees the initialisation is thread-safe.
locale_t environment_locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
    if (l != (locale_t)0 && is_plain_ascii_codeset(l)) {
      freelocale(l);
      l = (locale_t)0;
    }
    if (l == (locale_t)0) l = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (l == (locale_t)0) l = newlocale(LC_CTYPE_MASK, "C", (locale_t)0);
    return l;
  }();
  return loc;
}

// Conversions switch only the calling thread's locale, so the worker and the
// interface thread may convert at the same time.
class ThreadLocaleScope {
 public:
  ThreadLocaleScope() : previous_(uselocale(environment_locale())) {}
  ~ThreadLocaleScope() { uselocale(previous_); }

 private:
  locale_t previous_;
};

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_utf16(char32_t c, std::u16string& out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

// Decodes a zero-terminated multibyte text into UTF-16; false on an invalid
// or incomplete sequence.
bool decode_multibyte(const char* src, std::u16string& out) {
  ThreadLocaleScope scope;
  mbstate_t state;
  memset(&state, 0, sizeof state);
  size_t remaining = strlen(src);
  while (remaining > 0) {
    wchar_t wc = 0;
    size_t n = mbrtowc(&wc, src, remaining, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return false;
    if (n == 0) break;
    const uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    append_utf16(static_cast<char32_t>(wc), out);
    src += n;
    remaining -= n;
  }
  return true;
}

// Encodes `len` UTF-16 units; false when a unit is an unpaired surrogate or a
// character has no representation in the locale's encoding.
bool encode_multibyte(const char16_t* src, size_t len, std::string& out) {
  // ASCII is the same bytes in every character set a locale can have, and
  // most paths are ASCII: no locale switch, no call per character.
  size_t ascii = 0;
  for (; ascii < len && src[ascii] < 0x80; ++ascii) out.push_back(static_cast<char>(src[ascii]));
  if (ascii == len) return true;
  src += ascii;
  len -= ascii;
  ThreadLocaleScope scope;
  mbstate_t state;
  memset(&state, 0, sizeof state);
  char bytes[MB_LEN_MAX];
  for (size_t i = 0; i < len; ++i) {
    char32_t c = src[i];
    if (is_high_surrogate(src[i])) {
      if (i + 1 >= len || !is_low_surrogate(src[i + 1])) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      ++i;
    } else if (is_low_surrogate(src[i])) {
      return false;
    }
    size_t n = wcrtomb(bytes, static_cast<wchar_t>(c), &state);
    if (n == static_cast<size_t>(-1)) return false;
    out.append(bytes, n);
  }
  return true;
}

}  // namespace

void init_locale_from_environment() {
  if (setlocale(LC_ALL, "") == nullptr) {
    // Some category names a locale that is not installed: keep C for the
    // others, but still take the character set the environment names.
    setlocale(LC_ALL, "C");
    setlocale(LC_CTYPE, "");
  }
  // nl_langinfo reads the global locale (this thread has set none of its own).
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || strcmp(codeset, "ANSI_X3.4-1968") == 0) {
    setlocale(LC_CTYPE, "C.UTF-8");
  }
  environment_locale();
}

int WideCharToMultiByte(unsigned, unsigned, const char16_t* src, int srcLen,
                        char* dst, int dstSize, const char*, bool*) {
  if (src == nullptr) return -1;
  // The source is zero-terminated: the conversion ends at the terminator
  // (a negative length means "up to the terminator", as on Windows).
  size_t len = std::char_traits<char16_t>::length(src);
  if (srcLen >= 0) len = std::min(len, static_cast<size_t>(srcLen));
  std::string bytes;
  const bool ok = encode_multibyte(src, len, bytes);
  // On failure `bytes` holds what was converted before the bad character,
  // which the destination receives, as wcstombs leaves it.
  const int result = ok ? static_cast<int>(bytes.size()) : -1;
  if (result != 0 && dst != nullptr && dstSize > 0) {
    memset(dst, 0, static_cast<size_t>(dstSize));
    memcpy(dst, bytes.data(), std::min<size_t>(bytes.size(), static_cast<size_t>(dstSize)));
  }
  return result;
}

int MultiByteToWideChar(unsigned, unsigned, const char* src, int,
                        char16_t* dst, int dstCapacity) {
  if (src == nullptr) return -1;
  std::u16string units;
  if (!decode_multibyte(src, units)) return -1;
  if (dst != nullptr && dstCapacity > 0) {
    size_t n = std::min<size_t>(units.size(), static_cast<size_t>(dstCapacity));
    memcpy(dst, units.data(), n * sizeof(char16_t));
  }
  return static_cast<int>(units.size());
}

std::u16string widen_lib(const std::string& text) {
  std::u16string out;
  if (!decode_multibyte(text.c_str(), out)) return std::u16string();
  return out;
}

std::string narrow_lib(const std::u16string& text) {
  std::string out;
  narrow_into(text, out);
  return out;
}

bool narrow_into(std::u16string_view text, std::string& out) {
  out.clear();
  // The conversion ends at the first zero unit, as for a C string.
  const size_t len = std::min(text.find(u'\0'), text.size());
  if (encode_multibyte(text.data(), len, out)) return true;
  out.clear();
  return false;
}

std::u16string utf8_to_utf16(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t c;
    size_t extra;
    if (b < 0x80) { c = b; extra = 0; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
    else { out.push_back(0xFFFD); ++i; continue; }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= n) { ok = false; break; }
      unsigned char cb = static_cast<unsigned char>(text[i + k]);
      if ((cb & 0xC0) != 0x80) { ok = false; break; }
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok || c > 0x10FFFF) { out.push_back(0xFFFD); ++i; continue; }
    append_utf16(c, out);
    i += extra + 1;
  }
  return out;
}

std::string utf16_to_utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (is_high_surrogate(text[i]) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (is_high_surrogate(text[i]) || is_low_surrogate(text[i])) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

namespace {

// "\x" or "\u" and `digits` lower-case hexadecimal digits of `value`.
std::string hex_escape(char kind, uint32_t value, int digits) {
  static const char kHex[] = "0123456789abcdef";
  std::string escape = {'\\', kind};
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) escape.push_back(kHex[(value >> shift) & 15]);
  return escape;
}

// The escape that stands for the character `c` in printable text; empty
// when `c` is printed as it is.
std::string escape_of(char32_t c, Backslash backslash) {
  switch (c) {
    case '\\': return backslash == Backslash::kEscaped ? "\\\\" : "";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
  }
  if (c < 0x20 || c == 0x7F) return hex_escape('x', c, 2);
  if (c >= 0x80 && c <= 0x9F) return hex_escape('u', c, 4);
  return std::string();
}

// The length of the valid UTF-8 sequence at `at` with its character in
// `c`; 0 when the bytes there are no valid sequence (a stray continuation
// byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF).
size_t utf8_sequence(const std::string& text, size_t at, char32_t& c) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  c = lead;
  if (lead < 0x80) return 1;
  // The sequence's length, the smallest character it may carry, and the
  // lead byte's bits of the character.
  size_t length = 4;
  char32_t smallest = 0x10000;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    smallest = 0x80;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    smallest = 0x800;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string printable(const std::string& text, Backslash backslash) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    char32_t c = 0;
    const size_t length = utf8_sequence(text, at, c);
    if (length == 0) {
      out += hex_escape('x', static_cast<unsigned char>(text[at]), 2);
      ++at;
      continue;
    }
    const std::string escape = escape_of(c, backslash);
    if (escape.empty()) out.append(text, at, length);
    else out += escape;
    at += length;
  }
  return out;
}

std::u16string printable(const std::u16string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    const char16_t unit = text[at];
    if (is_high_surrogate(unit) && at + 1 < text.size() && is_low_surrogate(text[at + 1])) {
      out.append(text, at, 2);
      ++at;
      continue;
    }
    const bool lone = is_high_surrogate(unit) || is_low_surrogate(unit);
    const std::string escape = lone ? hex_escape('u', unit, 4) : escape_of(unit, Backslash::kEscaped);
    if (escape.empty()) out.push_back(unit);
    else out.append(escape.begin(), escape.end());
  }
  return out;
}

std::u16string string_uito(unsigned value, int radix) {
  if (radix < 2 || radix > 36) return std::u16string();
  std::u16string digits;
  do {
    unsigned d = value % static_cast<unsigned>(radix);
    digits.push_back(static_cast<char16_t>(d < 10 ? u'0' + d : u'a' + (d - 10)));
    value /= static_cast<unsigned>(radix);
  } while (value != 0);
  return std::u16string(digits.rbegin(), digits.rend());
}

std::u16string string_ito(int value, int radix) {
  if (radix == 10 && value < 0) {
    // The magnitude of INT_MIN does not fit an int; take it unsigned.
    unsigned magnitude = 0u - static_cast<unsigned>(value);
    std::u16string text(1, u'-');
    text += string_uito(magnitude, 10);
    return text;
  }
  return string_uito(static_cast<unsigned>(value), radix);
}

unsigned long string_toul(const std::u16string& text) {
  uint32_t value = 0;
  for (char16_t u : text) {
    if (u < u'0' || u > u'9') break;
    value = value * 10u + static_cast<uint32_t>(u - u'0');
  }
  return value;
}

int replace_all(std::u16string& text, const std::u16string& what,
                const std::u16string& with) {
  if (what.empty() || text.empty()) return 0;
  if (what.size() == with.size()) {
    int count = 0;
    for (size_t pos = text.find(what); pos != std::u16string::npos;
         pos = text.find(what, pos + with.size())) {
      text.replace(pos, what.size(), with);
      ++count;
    }
    return count;
  }
  std::vector<size_t> positions;
  for (size_t pos = text.find(what); pos != std::u16string::npos;
       pos = text.find(what, pos + what.size())) {
    positions.push_back(pos);
  }
  if (positions.empty()) return 0;
  std::u16string result;
  result.reserve(text.size() + positions.size() * with.size() -
                 positions.size() * what.size());
  size_t from = 0;
  for (size_t pos : positions) {
    result.append(text, from, pos - from);
    result.append(with);
    from = pos + what.size();
  }
  result.append(text, from, std::u16string::npos);
  text.swap(result);
  return static_cast<int>(positions.size());
}

bool isDiskRoot(const std::u16string& path) { return path == u"/"; }

std::u16string home_dir() {
  // What the shell's "~" gives, without a shell: HOME, else the password
  // database's entry of the user.
  const char* home = getenv("HOME");
  if (home != nullptr) return widen_lib(home);
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::u16string();
  return widen_lib(found->pw_dir);
}

std::u16string app_data_dir(bool) { return home_dir() + u"/.ovn8/"; }

int run_linux_command(const std::string& command) { return system(command.c_str()); }

std::u16string get_one_line_output(const std::u16string& command) {
  FILE* pipe = popen(narrow_lib(command).c_str(), "r");
  if (pipe == nullptr) return std::u16string();
  char line[255] = {0};
  std::u16string result;
  if (fgets(line, sizeof line, pipe) != nullptr) {
    size_t len = strlen(line);
    if (len > 0) line[len - 1] = '\0';  // the newline that ends the line
    result = widen_lib(line);
  }
  pclose(pipe);
  return result;
}

FILE* _wfopen(const std::u16string& path, const std::u16string& mode) {
  return fopen(narrow_lib(path).c_str(), narrow_lib(mode).c_str());
}
