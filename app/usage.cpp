#include "app/usage.h"

#include <utility>
#include <vector>

#include "platform/text.h"
#include "resources/lang.h"
#include "resources/version.h"

namespace {

const size_t kColumns = 79;
const size_t kOptionColumn = 18;

std::string text(const char* key) { return narrow_lib(LoadResString(key)); }

// Columns a UTF-8 text takes: one per character.
size_t columns(const std::string& utf8) {
  size_t count = 0;
  for (const char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

// `words` after `first` (already `used` columns wide), broken at blanks so
// that no line passes kColumns, the following lines indented by `indent`.
std::string wrapped(std::string first, size_t used, const std::string& words, size_t indent) {
  std::string out = first;
  size_t width = used;
  size_t start = 0;
  bool lineEmpty = true;
  while (start < words.size()) {
    size_t end = words.find(' ', start);
    if (end == std::string::npos) end = words.size();
    const std::string word = words.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    const size_t needed = columns(word) + (lineEmpty ? 0 : 1);
    if (!lineEmpty && width + needed > kColumns) {
      out += "\n" + std::string(indent, ' ');
      width = indent;
      lineEmpty = true;
    }
    if (!lineEmpty) {
      out += ' ';
      ++width;
    }
    out += word;
    width += columns(word);
    lineEmpty = false;
  }
  return out + "\n";
}

// One option: the option in a column of its own, then its text.
std::string option_line(const std::string& option, const std::string& description) {
  std::string head = "  " + option;
  // An option too wide for its column has its text on the next line.
  if (columns(head) + 1 > kOptionColumn)
    return wrapped(head + "\n" + std::string(kOptionColumn, ' '), kOptionColumn, description,
                   kOptionColumn);
  head.append(kOptionColumn - columns(head), ' ');
  return wrapped(head, kOptionColumn, description, kOptionColumn);
}

std::vector<std::pair<const char*, std::string>> maintenance_verbs() {
  return {
      {"--verify", "With --target=DIR: compare the directory with its installation record "
                   "(or with the kit given by --kit); one line per entry that is missing, "
                   "changed or of another kind, and a summary. Changes nothing."},
      {"--uninstall", "With --target=DIR: remove the files the directory's installation put "
                      "there and that are unchanged since, and the folders then empty; changed "
                      "files are kept and named. The launcher's list loses the directory once "
                      "it is empty. The originals the installation replaced are not brought back."},
      {"--repair", "With --target=DIR and --kit=FILE: install again every recorded file that "
                   "is missing or changed; a changed file is first kept beside it as "
                   "NAME.changed-YYYYMMDD-HHMMSS."},
  };
}

std::string language_codes() {
  std::string codes;
  for (const auto& language : lang_table()) codes += (codes.empty() ? "" : " ") + language.second.code;
  return codes;
}

}  // namespace

std::string usage_text() {
  const std::string usage = text("IDS_HELP_USAGE") + " ovn8setup ";
  std::string out = wrapped(usage, columns(usage),
                            "[usecwd] [-S] [--unattended] [--kit=FILE | FILE] [--target=DIR] "
                            "[--dry-run] [--json[=files]] [-q] [--log=FILE] [--keyring=FILE]... "
                            "[--require-signature] [-L<CODE>]",
                            columns(usage));
  const struct {
    const char* option;
    const char* key;
  } options[] = {
      {"usecwd", "IDS_HELP_USECWD"},        {"-S", "IDS_HELP_SILENT"},
      {"--unattended", "IDS_HELP_UNATTENDED"}, {"--kit=FILE", "IDS_HELP_KIT"},
      {"--target=DIR", "IDS_HELP_TARGET"},  {"--dry-run", "IDS_HELP_DRYRUN"},
      {"--json[=files]", "IDS_HELP_JSON"},  {"-q, --quiet", "IDS_HELP_QUIET"},
      {"--log=FILE", "IDS_HELP_LOG"},       {"--keyring=FILE", "IDS_HELP_KEYRING"},
      {"--require-signature", "IDS_HELP_REQUIRESIGNATURE"},
      {"-L<CODE>", "IDS_HELP_LANGUAGE"},
  };
  for (const auto& option : options) out += option_line(option.option, text(option.key));
  // The maintenance verbs speak English, like the rest of the headless output.
  for (const auto& verb : maintenance_verbs()) out += option_line(verb.first, verb.second);
  // The codes on a line of their own, under the language's text.
  out += wrapped(std::string(kOptionColumn, ' '), kOptionColumn, language_codes(), kOptionColumn);
  out += option_line("--help", text("IDS_HELP_HELP"));
  out += option_line("--version", text("IDS_HELP_VERSION"));
  out += "\n" + wrapped("", 0, text("IDS_HELP_FORMS"), 0);
  out += wrapped("", 0, text("IDS_HELP_SIGNALS"), 0);
  out += wrapped("", 0, text("IDS_HELP_ENVIRONMENT"), 0);
  out += "\n" + text("IDS_HELP_EXIT") + "\n";
  const char* statuses[] = {"IDS_HELP_EXIT0", "IDS_HELP_EXIT1", "IDS_HELP_EXIT2", "IDS_HELP_EXIT3",
                            "IDS_HELP_EXIT4"};
  for (int status = 0; status < 5; ++status)
    out += wrapped("  " + std::to_string(status) + "  ", 5, text(statuses[status]), 5);
  out += wrapped("  5  ", 5, "--verify: an entry is missing, changed, or of another kind.", 5);
  return out;
}

std::string version_text() { return std::string("ovn8setup ") + program_version() + "\n"; }
