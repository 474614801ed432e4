// The start-up decisions of the wizard as pure functions: the option scan of
// the command line and the choice of the interface language.
#ifndef OVN8_APP_COMMAND_LINE_H_
#define OVN8_APP_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "platform/path.h"  // absolute_path, which the start-up takes from here
#include "resources/lang.h"

// What the command line says.
struct CommandLineOptions {
  // First argument exactly "usecwd" (and more than one argument, argc > 1):
  // the kit is looked for in the current directory.
  bool useCurrentDirectory = false;
  // -S or /S (either case; only the first two bytes count, "-Silent" too).
  bool silent = false;
  // From the first -L<code> or /L<code>: the code looked up in the table;
  // LANG_NONE without such an option or when the code is not in the table.
  LangIdType language = LANG_NONE;
  // The code as a wide string when `language` was found, else "en".
  std::u16string languageCode = u"en";

  // GNU long options, read in every argument from the scanning start (the
  // first -L ends only the scan of the short ones). Unknown long options
  // are the toolkit's (--display=...) and are left to it.
  bool showHelp = false;     // --help
  bool showVersion = false;  // --version
  // --target=DIR or --target DIR: the template directory of this run, as
  // given (the caller makes it absolute); empty when not given.
  std::string target;
  // --log=FILE or --log FILE: the file the run's log is appended to.
  std::string logPath;
  // --kit=FILE or --kit FILE, or a plain argument: the kit, under any
  // name, as given (the caller makes it absolute); empty when not given.
  std::string kitPath;
  // --unattended: silent, and never a window or a box, whatever the display.
  bool unattended = false;
  // --dry-run: checks and plans, changes nothing.
  bool dryRun = false;
  // --verify: compares the --target directory with its installation record
  // (or the kit), changes nothing.
  bool verify = false;
  // --uninstall: removes what the --target directory's installation put
  // there and is unchanged since.
  bool uninstall = false;
  // --repair: installs again, from the kit, what the --target directory's
  // record says is missing or changed.
  bool repair = false;
  // --json, --json=files: the result as one JSON object on standard output.
  enum class Json { kNone, kSummary, kFiles };
  Json json = Json::kNone;
  // -q, --quiet: no per-file lines.
  bool quiet = false;
  // --keyring=FILE or --keyring FILE, repeatable: keyrings trusted for the
  // kit's signature besides the system's, as given.
  std::vector<std::string> keyrings;
  // --require-signature: only a kit signed with a trusted key is installed.
  bool requireSignature = false;
  // A long option that lacks its value ("--target=", "--log" at the end):
  // the option's name, e.g. "--target". Empty when the line is sound.
  std::string badOption;
  // An option the wizard does not know, or a second plain argument: the
  // argument as given. Empty when the line is sound.
  std::string unknownArgument;
};

// Scans argv[1..argc-1] (from argv[2] after "usecwd"), after the toolkit
// has taken its own options. The scan of short options stops at the first
// -L option; long options and plain arguments are read everywhere. Null
// entries are skipped. An option the wizard does not know is reported in
// `unknownArgument`.
CommandLineOptions parse_command_line(int argc, const char* const* argv);

// The interface language and the code handed to the dialog.
struct LanguageChoice {
  LangIdType language = LANG_EN;
  std::u16string languageCode = u"en";
};

// The command line's language when it found one; otherwise the first two
// characters of `localeName` (the name setlocale(LC_ALL, "") returned, or
// null when it returned none) looked up in the table; otherwise English
// (LANG_EN, "en"). "C", "POSIX" and "C.UTF-8" are not in the table.
LanguageChoice choose_language(const CommandLineOptions& options, const char* localeName);

#endif  // OVN8_APP_COMMAND_LINE_H_
