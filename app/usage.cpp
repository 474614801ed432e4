#include "app/usage.h"

#include "platform/text.h"
#include "resources/lang.h"
#include "resources/version.h"

namespace {

std::string text(const char* key) { return narrow_lib(LoadResString(key)); }

// One option line: the option in a column of its own, then its text.
std::string option_line(const std::string& option, const char* key) {
  std::string line = "  " + option;
  line.append(option.size() < 16 ? 16 - option.size() : 1, ' ');
  return line + text(key) + "\n";
}

}  // namespace

std::string usage_text() {
  std::string codes;
  for (const auto& language : lang_table()) codes += " " + language.second.code;
  std::string usage = text("IDS_HELP_USAGE") +
                      " ovn8setup [usecwd] [-S] [-L<CODE>] [--target=DIR] [--log=FILE]\n";
  usage += option_line("usecwd", "IDS_HELP_USECWD");
  usage += option_line("-S", "IDS_HELP_SILENT");
  usage += option_line("-L<CODE>", "IDS_HELP_LANGUAGE") + std::string(18, ' ') +
           codes.substr(1) + "\n";
  usage += option_line("--target=DIR", "IDS_HELP_TARGET");
  usage += option_line("--log=FILE", "IDS_HELP_LOG");
  usage += option_line("--help", "IDS_HELP_HELP");
  usage += option_line("--version", "IDS_HELP_VERSION");
  usage += text("IDS_HELP_EXIT") + "\n";
  const char* statuses[] = {"IDS_HELP_EXIT0", "IDS_HELP_EXIT1", "IDS_HELP_EXIT2",
                            "IDS_HELP_EXIT3", "IDS_HELP_EXIT4"};
  for (int status = 0; status < 5; ++status)
    usage += "  " + std::to_string(status) + "  " + text(statuses[status]) + "\n";
  return usage;
}

std::string version_text() { return std::string("ovn8setup ") + program_version() + "\n"; }
