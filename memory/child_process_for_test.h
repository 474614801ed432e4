// Test helper: runs one (disabled) test of the current test binary in a
// fresh process with a changed environment, for settings that are read once
// at start-up.
#ifndef OVN8_MEMORY_CHILD_PROCESS_FOR_TEST_H_
#define OVN8_MEMORY_CHILD_PROCESS_FOR_TEST_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace tarn_test {

// The environment without the names in unset, plus the assignments in set.
// Returns the child's exit status, or -1 when it did not exit normally.
inline int run_test_in_child(const std::string& test_name, const std::vector<std::string>& unset,
                             const std::vector<std::string>& set) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool removed = false;
    for (const std::string& name : unset) {
      const std::string prefix = name + "=";
      if (std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0) removed = true;
    }
    if (!removed) environment.push_back(*entry);
  }
  environment.insert(environment.end(), set.begin(), set.end());
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);

  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=" + test_name;
  std::string disabled = "--gtest_also_run_disabled_tests";
  std::string brief = "--gtest_brief=1";
  char* argv[] = {&program[0], &filter[0], &disabled[0], &brief[0], nullptr};
  // The child's report is not needed, only its exit status; its standard
  // error (sanitizer reports) stays visible.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarn_test

#endif  // OVN8_MEMORY_CHILD_PROCESS_FOR_TEST_H_
