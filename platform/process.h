// Running a helper program: an argument vector handed to posix_spawn (no
// shell ever parses it), with a private pipe for the program's machine
// readable status and its standard error kept for the log.
#ifndef OVN8_PLATFORM_PROCESS_H_
#define OVN8_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

struct ProcessRun {
  // 0 when the program ran (see exitStatus); else the Win32-style number
  // of why it could not start: 2 when the program does not exist.
  uint32_t startError = 0;
  int exitStatus = -1;     // its exit code, or 128 + the signal that ended it
  std::string status;      // what it wrote to the status descriptor
  std::string errorText;   // what it wrote to standard error (at most 64 KiB)
};

// Runs `arguments[0]` (a path, not looked up in PATH) with `arguments`,
// standard input and output on /dev/null, and waits for it. The status
// pipe is the child's descriptor `statusDescriptor` (at least 3; -1: none),
// so that the program can be told "--status-fd=N". `inputDescriptor`, when
// not -1, is the child's standard input instead (a file of ours it reads
// from where it stands). No other descriptor of this process reaches the
// child.
ProcessRun run_process(const std::vector<std::string>& arguments, int statusDescriptor,
                       int inputDescriptor = -1);

#endif  // OVN8_PLATFORM_PROCESS_H_
