// The pieces of the JSON the wizard prints (docs/json-format.md).
#ifndef OVN8_INSTALL_JSON_TEXT_H_
#define OVN8_INSTALL_JSON_TEXT_H_

#include <string>

std::string quoted(const std::string& utf8);
// Text that is no UTF-8 (names of files in another encoding) has become
// U+FFFD on its way into wide strings or does so here.
std::string quoted(const std::u16string& text);
std::string quoted_or_null(const std::u16string& text);
std::string boolean(bool value);

#endif  // OVN8_INSTALL_JSON_TEXT_H_
