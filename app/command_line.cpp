#include "app/command_line.h"

#include <cstring>
#include <vector>

#include "platform/text.h"

namespace {

// ASCII upper-casing of one byte; other bytes stay as they are.
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A long option with a value, "--name=VALUE" or "--name" "VALUE" (a VALUE
// that does not begin with "-"). Returns
// true when argv[*index] is that option; `*index` then points at the last
// argument it used. A missing or empty value marks the option as bad.
bool take_valued_option(const char* name, int argc, const char* const* argv, int* index,
                        std::string* value, std::string* badOption) {
  const char* arg = argv[*index];
  const size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0) return false;
  if (arg[length] == '=') {
    *value = arg + length + 1;
  } else if (arg[length] == '\0') {
    // "--target -S" lacks its directory rather than naming one called "-S".
    const char* next = *index + 1 < argc ? argv[*index + 1] : nullptr;
    if (next != nullptr && next[0] != '-') *value = argv[++*index];
    else value->clear();
  } else {
    return false;  // "--targets": another option
  }
  if (value->empty() && badOption->empty()) *badOption = name;
  return true;
}

// A flag without a value, "--name".
bool take_flag(const char* name, const char* arg, bool* flag) {
  if (std::strcmp(arg, name) != 0) return false;
  *flag = true;
  return true;
}

// --keyring may be given again and again; each adds a keyring.
bool take_keyring(int argc, const char* const* argv, int* index, CommandLineOptions* options) {
  std::string keyring;
  if (!take_valued_option("--keyring", argc, argv, index, &keyring, &options->badOption)) return false;
  if (!keyring.empty()) options->keyrings.push_back(keyring);
  return true;
}

bool take_json(const char* arg, CommandLineOptions* options) {
  if (std::strcmp(arg, "--json") == 0) {
    options->json = CommandLineOptions::Json::kSummary;
  } else if (std::strcmp(arg, "--json=files") == 0) {
    options->json = CommandLineOptions::Json::kFiles;
  } else {
    return false;
  }
  return true;
}

// Marks the long options the wizard knows and the arguments that carry
// their values, which the rest of the scan must not read: "--target
// /Shared" is no /S. Unknown long options stay unmarked.
std::vector<bool> scan_long_options(int argc, const char* const* argv, int start,
                                    CommandLineOptions* options) {
  std::vector<bool> taken(argc > 0 ? size_t(argc) : 0, false);
  for (int i = start; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || !starts_with(arg, "--")) continue;
    const int first = i;
    std::string* bad = &options->badOption;
    const bool known =
        take_flag("--help", arg, &options->showHelp) ||
        take_flag("--version", arg, &options->showVersion) ||
        take_flag("--unattended", arg, &options->unattended) ||
        take_flag("--dry-run", arg, &options->dryRun) ||
        take_flag("--verify", arg, &options->verify) ||
        take_flag("--uninstall", arg, &options->uninstall) ||
        take_flag("--repair", arg, &options->repair) ||
        take_flag("--quiet", arg, &options->quiet) || take_json(arg, options) ||
        take_flag("--require-signature", arg, &options->requireSignature) ||
        take_keyring(argc, argv, &i, options) ||
        take_valued_option("--target", argc, argv, &i, &options->target, bad) ||
        take_valued_option("--log", argc, argv, &i, &options->logPath, bad) ||
        take_valued_option("--kit", argc, argv, &i, &options->kitPath, bad);
    if (!known) continue;
    for (int j = first; j <= i; ++j) taken[size_t(j)] = true;
  }
  return taken;
}

// "-X", or "/X" where a slash-led argument is no path: a path has a second
// slash or names a kit ("/srv/kit.okd", "/kit.okd").
bool is_short_option(const std::string& arg) {
  if (arg.size() < 2) return false;
  if (arg[0] == '-') return true;
  if (arg[0] != '/') return false;
  const bool namesKit = arg.size() > 4 && arg.compare(arg.size() - 4, 4, ".okd") == 0;
  return arg.find('/', 1) == std::string::npos && !namesKit;
}

void note_unknown(const char* arg, CommandLineOptions* options) {
  if (options->unknownArgument.empty()) options->unknownArgument = arg;
}

}  // namespace

CommandLineOptions parse_command_line(int argc, const char* const* argv) {
  CommandLineOptions options;
  if (argv == nullptr) return options;
  int start = 1;
  if (argc > 1 && argv[1] != nullptr && std::string(argv[1]) == "usecwd") {
    options.useCurrentDirectory = true;
    start = 2;
  }
  const std::vector<bool> taken = scan_long_options(argc, argv, start, &options);
  const bool kitOption = !options.kitPath.empty();
  bool shortOptionsEnded = false;
  for (int i = start; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || taken[size_t(i)]) continue;
    if (starts_with(arg, "--")) {
      note_unknown(arg, &options);
    } else if (is_short_option(arg)) {
      // The first -L ends the scan: what follows it is not read as an option.
      if (shortOptionsEnded) continue;
      const char letter = ascii_upper(arg[1]);
      if (letter == 'S') {
        options.silent = true;
      } else if (letter == 'L') {
        const std::string code(arg + 2);
        options.language = get_lang_id_by_lang_code(code);
        if (options.language != LANG_NONE) options.languageCode = widen_lib(code);
        shortOptionsEnded = true;
      } else if (std::strcmp(arg, "-q") == 0) {
        options.quiet = true;
      } else {
        note_unknown(arg, &options);
      }
    } else if (options.kitPath.empty() && !kitOption) {
      options.kitPath = arg;
    } else {
      note_unknown(arg, &options);
    }
  }
  if (options.unattended) options.silent = true;
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
