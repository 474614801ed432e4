// The built-in table of localised strings: twelve languages, each with the
// same keys, one current language for the whole process.
#ifndef OVN8_RESOURCES_LANG_H_
#define OVN8_RESOURCES_LANG_H_

#include <initializer_list>
#include <map>
#include <cstdint>
#include <string>

// Language identifiers; the values are fixed (0 = no language).
enum LangIdType {
  LANG_NONE = 0,
  LANG_RU = 1,
  LANG_UK = 2,
  LANG_EN = 3,  // the default
  LANG_LV = 4,
  LANG_LT = 5,
  LANG_BG = 6,
  LANG_DE = 7,
  LANG_RO = 8,
  LANG_KA = 9,
  LANG_KK = 10,
  LANG_VI = 11,
  LANG_TR = 12,
};

// One language: its two-letter code and its texts (key -> UTF-8 text).
struct LangInfo {
  std::string code;
  std::map<std::string, std::string> texts;
};

typedef std::map<LangIdType, LangInfo> LangTable;

// The table, in ascending order of identifier. Built during static
// initialisation (priority 101, right after the memory manager is created)
// and never changed afterwards.
const LangTable& lang_table();

// The identifier of the first language whose code equals `code` exactly
// (case-sensitive, same length); LANG_NONE when none does.
LangIdType get_lang_id_by_lang_code(const std::string& code);

// Makes `id` the current language, unchecked: an identifier that is not in
// the table makes every later lookup empty. Before any call it is LANG_EN.
void set_resource_lang(LangIdType id);
LangIdType get_resource_lang();

// The text of `key` in the current language, converted anew on every call
// with widen_lib; empty when the language or the key is not in the table.
// No fallback to another language.
std::u16string LoadResString(const std::string& key);

// `text` with each marker {1}, {2}, ... replaced by that argument (the
// languages order the values as their grammar wants). A marker without an
// argument stays as it is.
std::u16string format_text(const std::u16string& text,
                           std::initializer_list<std::u16string> arguments);
// The same for the text of `key`.
std::u16string FormatResString(const std::string& key,
                               std::initializer_list<std::u16string> arguments);

// A size as the user reads it: KB below 1 MB, MB below 10 GB, else GB, in
// whole units (rounded up with `roundUp`, else down), in the interface
// language ("12 MB").
std::u16string sizeText(uint64_t bytes, bool roundUp);

#endif  // OVN8_RESOURCES_LANG_H_
