// Conversion of configuration file bytes to wide text and back without loss.
//
// The launcher's files are text in the locale's multibyte encoding, but a
// file edited by hand may hold bytes that are not valid in it. Such a byte b
// is carried in the wide text as the lone low surrogate U+DC00 + b, which
// valid text never contains, and is written back as the same byte. A zero
// byte is carried as U+0000. A read followed by a write therefore gives back
// every byte of every line.
#ifndef OVN8_CONFIG_CONFIG_TEXT_H_
#define OVN8_CONFIG_CONFIG_TEXT_H_

#include <cstddef>
#include <string>

// Converts bytes[0, size) and appends the result to `out`. Unless `final`,
// bytes at the end that may begin a character cut off by the end of the
// buffer are left unconverted; the result is the number of bytes converted,
// and the caller puts the rest in front of the next block.
size_t widen_config_bytes(const char* bytes, size_t size, bool final, std::u16string& out);

// The bytes of `text`: carried bytes and U+0000 as themselves, the rest in
// the locale's encoding. Returns false when some character has no
// representation there; `out` then holds that part in UTF-8, which keeps
// distinct texts distinct for comparison.
bool narrow_config_text(const std::u16string& text, std::string& out);

#endif  // OVN8_CONFIG_CONFIG_TEXT_H_
