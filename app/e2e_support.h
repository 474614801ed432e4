// What the end-to-end tests share: running the real programs of the build
// in a child process with their output in files, and waiting for them.
#ifndef OVN8_APP_E2E_SUPPORT_H_
#define OVN8_APP_E2E_SUPPORT_H_

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/test_toolkit.h"

namespace e2e {

struct Result {
  int status = -1;  // the exit code, or 1000 + the signal that ended it
  std::string out, err;
};

inline int status_of(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 1000 + WTERMSIG(waitStatus);
}

// In a sanitizer build the toolkit's process-long caches would be reported
// as leaks: the child is given the suppressions (call before exec).
inline void suppress_toolkit_leaks() {
  const char* source = getenv("OVN8_SOURCE_DIR");
  if (source == nullptr) return;
  const char* old = getenv("LSAN_OPTIONS");
  const std::string options = std::string(old ? old : "") + (old && *old ? ":" : "") +
                              "print_suppressions=0:suppressions=" + source +
                              "/platform/lsan_toolkit.supp";
  setenv("LSAN_OPTIONS", options.c_str(), 1);
}

// In a forked child: standard output and error go to the two files, then
// the program args[0] runs with `args`. Never returns.
[[noreturn]] inline void exec_with_output(std::vector<std::string> args, const std::string& outPath,
                                          const std::string& errPath) {
  dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Waits for `child` to end; its status and what it wrote.
inline Result finish_child(pid_t child, const std::string& outPath, const std::string& errPath) {
  Result result;
  int status = 0;
  waitpid(child, &status, 0);
  result.status = status_of(status);
  result.out = testkit::readFile(outPath);
  result.err = testkit::readFile(errPath);
  return result;
}

}  // namespace e2e

#endif  // OVN8_APP_E2E_SUPPORT_H_
