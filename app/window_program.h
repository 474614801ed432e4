// The wizard's program has no toolkit, so that unattended and headless runs
// start without loading it (dozens of shared libraries: most of a short
// run's time). A run that may show a window, or a box on a display, is
// handed to the window program, the same wizard with the toolkit, under the
// same process and with the same command line.
#ifndef OVN8_APP_WINDOW_PROGRAM_H_
#define OVN8_APP_WINDOW_PROGRAM_H_

#include <string>
#include <vector>

// Whether the run `argv` asks for may need the toolkit, `display` being the
// environment's DISPLAY (null when unset). Only the toolkit knows its own
// options (--display=..., --sync), so a line with an option the wizard does
// not know goes to the window program too, which takes them out first.
bool needs_window_program(int argc, const char* const* argv, const char* display);

// Where the window program of the program at `self` may lie, in the order
// to try: beside it (`self` + "-gtk", as in the build folder), then
// `installed`. Never a name looked up in PATH.
std::vector<std::string> window_program_candidates(const std::string& self, const std::string& installed);

// Replaces this process by the window program with `argv`. Returns only
// when none can be started, after saying why on standard error, with the
// exit status of a failed start-up.
int exec_window_program(char** argv);

#endif  // OVN8_APP_WINDOW_PROGRAM_H_
