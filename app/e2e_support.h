// What the end-to-end tests share: running the real programs of the build
// in a child process with their output in files, and waiting for them.
#ifndef OVN8_APP_E2E_SUPPORT_H_
#define OVN8_APP_E2E_SUPPORT_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/test_toolkit.h"

namespace e2e {

struct Result {
  int status = -1;  // the exit code, or 1000 + the signal that ended it
  std::string out, err;
};

// The wizard built beside the tests (OVN8_BUILD_DIR, else the current
// folder); empty when it is not there.
inline std::string wizard_binary() {
  const char* build = getenv("OVN8_BUILD_DIR");
  const std::string binary = std::string(build ? build : ".") + "/ovn8setup";
  return access(binary.c_str(), X_OK) == 0 ? binary : std::string();
}

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
// the program args[0] runs with `args`. Never returns. An empty `outPath`
// makes standard output a pipe whose reading end is already closed.
[[noreturn]] inline void exec_with_output(std::vector<std::string> args, const std::string& outPath,
                                          const std::string& errPath) {
  int unread[2];
  if (outPath.empty() && pipe(unread) == 0) {
    close(unread[0]);
    dup2(unread[1], 1);
  } else {
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  }
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

// A headless run of the real program: HOME, TMPDIR and the UTF-8 locale of
// a test, no display, `env` set on top (an empty value unsets), output in
// `folder`/out and `folder`/err. Ends the child after a minute.
inline Result run_headless(const std::vector<std::string>& args, const std::string& home,
                           const std::string& tmp, const std::string& folder,
                           const std::map<std::string, std::string>& env = {}) {
  const std::string out = folder + "/out", err = folder + "/err";
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    setenv("HOME", home.c_str(), 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("LANG", "C.UTF-8", 1);
    unsetenv("DISPLAY");
    for (const auto& variable : env)
      variable.second.empty() ? unsetenv(variable.first.c_str())
                              : setenv(variable.first.c_str(), variable.second.c_str(), 1);
    suppress_toolkit_leaks();
    exec_with_output(args, out, err);
  }
  return finish_child(child, out, err);
}

// An X server for this test alone; display() is empty when it did not start.
class PrivateXServer {
 public:
  PrivateXServer() {
    int ready[2];
    if (pipe(ready) != 0) return;
    const std::string fd = std::to_string(ready[1]);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 1);
      dup2(quiet, 2);
      // The server writes its display number to `fd` once it accepts clients.
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    char number[16] = {};
    if (pid_ > 0 && read(ready[0], number, sizeof number - 1) > 0)
      display_ = ":" + std::to_string(atoi(number));
    readEnd_ = ready[0];
  }
  ~PrivateXServer() {
    close(readEnd_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  int readEnd_ = -1;
  std::string display_;
};

// True when an exclusive flock is held on the directory at `path`; read
// from /proc/locks, so that looking never takes the lock itself.
inline bool locked_by_someone(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  std::ifstream locks("/proc/locks");
  std::string line;
  const std::string node = ":" + std::to_string(status.st_ino) + " ";
  while (std::getline(locks, line))
    if (line.find("FLOCK") != std::string::npos && line.find("WRITE") != std::string::npos &&
        line.find(node) != std::string::npos)
      return true;
  return false;
}

// Waits until the running `child` holds the lock on `dir`.
inline bool wait_for_lock(const std::string& dir, pid_t child) {
  for (int i = 0; i < 20000; ++i) {
    if (locked_by_someone(dir)) return true;
    if (waitpid(child, nullptr, WNOHANG) != 0) return false;
    usleep(500);
  }
  return false;
}

}  // namespace e2e

#endif  // OVN8_APP_E2E_SUPPORT_H_
