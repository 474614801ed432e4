#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

extern char** environ;

namespace {

const size_t kMaxErrorText = 64 * 1024;

struct Pipe {
  int read = -1;
  int write = -1;
  bool open() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    read = ends[0];
    write = ends[1];
    return true;
  }
  void closeWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
  ~Pipe() {
    if (read >= 0) close(read);
    closeWrite();
  }
};

uint32_t start_error(int error) {
  return error == ENOENT ? uint32_t(ERROR_FILE_NOT_FOUND)
         : error == EACCES ? uint32_t(ERROR_ACCESS_DENIED)
                           : system_error(error);
}

// Reads both pipes until the child has closed them.
void drain(int statusFd, int errorFd, ProcessRun& run) {
  pollfd fds[2] = {{statusFd, POLLIN, 0}, {errorFd, POLLIN, 0}};
  std::string* into[2] = {&run.status, &run.errorText};
  int open = statusFd >= 0 ? 2 : 1;
  if (statusFd < 0) fds[0].fd = -1;
  char chunk[4096];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fds[i].fd = -1;
        --open;
      } else if (i == 0 || into[i]->size() < kMaxErrorText) {
        into[i]->append(chunk, size_t(got));
      }
    }
  }
}

int wait_for(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessRun run_process(const std::vector<std::string>& arguments, int statusDescriptor,
                       int inputDescriptor) {
  ProcessRun run;
  Pipe status, errors;
  if (arguments.empty() || statusDescriptor == 0 || statusDescriptor == 1 || statusDescriptor == 2) {
    run.startError = ERROR_INVALID_PARAMETER;
    return run;
  }
  if ((statusDescriptor >= 0 && !status.open()) || !errors.open()) {
    run.startError = system_error(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The input first: its number may be one the descriptors below take.
  if (inputDescriptor >= 0)
    posix_spawn_file_actions_adddup2(&actions, inputDescriptor, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errors.write, 2);
  if (statusDescriptor >= 0) posix_spawn_file_actions_adddup2(&actions, status.write, statusDescriptor);
  // Lock files and the kit's container stay the wizard's own.
  posix_spawn_file_actions_addclosefrom_np(&actions, statusDescriptor >= 3 ? statusDescriptor + 1 : 3);
  // The stop signals the wizard blocks or catches are the child's to
  // take as usual.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    run.startError = start_error(spawned);
    return run;
  }
  status.closeWrite();
  errors.closeWrite();
  drain(statusDescriptor >= 0 ? status.read : -1, errors.read, run);
  run.exitStatus = wait_for(child);
  return run;
}
