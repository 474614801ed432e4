#include "app/command_line.h"

#include "platform/text.h"

namespace {

// ASCII upper-casing of one byte; other bytes stay as they are.
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

CommandLineOptions parse_command_line(int argc, const char* const* argv) {
  CommandLineOptions options;
  int start = 1;
  if (argc > 1 && argv != nullptr && argv[1] != nullptr && std::string(argv[1]) == "usecwd") {
    options.useCurrentDirectory = true;
    start = 2;
  }
  for (int i = start; i < argc && argv != nullptr; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || (arg[0] != '-' && arg[0] != '/')) continue;
    const char letter = ascii_upper(arg[1]);
    if (letter == 'S') {
      options.silent = true;
    } else if (letter == 'L') {
      const std::string code(arg + 2);
      options.language = get_lang_id_by_lang_code(code);
      if (options.language != LANG_NONE) options.languageCode = widen_lib(code);
      break;  // the first -L ends the scan
    }
  }
  return options;
}

LanguageChoice choose_language(const CommandLineOptions& options, const char* localeName) {
  LanguageChoice choice;
  choice.language = options.language;
  choice.languageCode = options.language != LANG_NONE ? options.languageCode : u"en";
  if (choice.language == LANG_NONE && localeName != nullptr) {
    std::string code(localeName);
    if (code.size() > 2) code.resize(2);
    choice.language = get_lang_id_by_lang_code(code);
    if (choice.language != LANG_NONE) choice.languageCode = widen_lib(code);
  }
  if (choice.language == LANG_NONE) {
    choice.language = LANG_EN;
    choice.languageCode = u"en";
  }
  return choice;
}
