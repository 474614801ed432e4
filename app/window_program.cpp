#include "app/window_program.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>

#include "app/command_line.h"
#include "install/installation_session.h"

#ifndef OVN8_INSTALLED_WINDOW_PROGRAM
#define OVN8_INSTALLED_WINDOW_PROGRAM "/usr/libexec/ovn8setup/ovn8setup-gtk"
#endif

bool needs_window_program(int argc, const char* const* argv, const char* display) {
  const CommandLineOptions options = parse_command_line(argc, argv);
  if (!options.unknownArgument.empty()) return true;
  // None of these opens a window, whatever the display.
  if (options.showHelp || options.showVersion || options.unattended) return false;
  if (options.verify || options.uninstall || options.repair) return false;
  // Without a display the window program would run without a window too.
  return display != nullptr && display[0] != '\0';
}

std::vector<std::string> window_program_candidates(const std::string& self, const std::string& installed) {
  std::vector<std::string> candidates;
  if (!self.empty()) candidates.push_back(self + "-gtk");
  if (!installed.empty() && installed != self + "-gtk") candidates.push_back(installed);
  return candidates;
}

namespace {

// The program's own file, as the system started it.
std::string own_program() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || size_t(length) >= sizeof path) return std::string();
  return std::string(path, size_t(length));
}

}  // namespace

int exec_window_program(char** argv) {
  // A file missing beside the program is the usual case (an installed
  // wizard's window program lies elsewhere); any other failure is said.
  std::string failed = OVN8_INSTALLED_WINDOW_PROGRAM;
  int reason = ENOENT;
  for (const std::string& candidate : window_program_candidates(own_program(), OVN8_INSTALLED_WINDOW_PROGRAM)) {
    execv(candidate.c_str(), argv);
    if (errno != ENOENT) {
      failed = candidate;
      reason = errno;
    }
  }
  fprintf(stderr, "ovn8setup: the wizard's window program %s cannot be started: %s\n", failed.c_str(),
          strerror(reason));
  return kExitStartupFailed;
}
