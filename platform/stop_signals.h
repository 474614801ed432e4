// SIGINT, SIGTERM, SIGHUP and SIGQUIT (Ctrl+C, kill, a closed terminal or a
// dropped ssh session, Ctrl+\) ask the wizard to stop.
//
// Outside an installation run the handler removes the temporary files that
// are registered here (the unpacked kit while it is written and read, the
// launcher file's replacement while it is written) and ends the process at
// once with status 3 (cancelled): nothing else is half done then.
//
// Between defer_stop_signals() and allow_stop_signals() (the run and its
// rollback) the handler only records the request: the run is cancelled and
// rolled back by its own loop, which polls stop_requested(). A second signal
// during the rollback changes nothing, so the rollback always ends.
#ifndef OVN8_PLATFORM_STOP_SIGNALS_H_
#define OVN8_PLATFORM_STOP_SIGNALS_H_

#include <string>

// The exit status of a process that a stop signal ended.
const int kStoppedBySignalStatus = 3;

// Installs the handler for the four signals; once, early in main.
void install_stop_signal_handlers();

// Output that nobody reads any more (`ovn8setup -S | head -1`, a reader
// that has gone) never decides an installation: a write to a closed pipe
// fails instead of ending the process in the middle of a run. Programs
// the wizard starts get the default back (see platform/process.cpp).
void keep_running_when_output_closes();
// In a child between fork and exec (async-signal-safe): the program it
// runs ends at a closed pipe as programs usually do.
void restore_closed_output_default();

// The handler only records requests until allow_stop_signals().
void defer_stop_signals();
// A request that arrived while deferred stays recorded (stop_requested);
// later signals end the process again.
void allow_stop_signals();
// True between defer_stop_signals() and allow_stop_signals().
bool stop_signals_deferred();
// True once a stop signal has arrived (in either mode) since the last clear.
bool stop_requested();
// The signal that asked to stop (SIGINT, ...), or 0.
int stop_signal();
// The status a stop signal ends the process with outside a run: 3 until an
// installation has ended, then that installation's status, so that a
// signal while its box or page waits ends the program as it would end
// anyway. SIGINT ends it by SIGINT instead, as shells expect.
void set_stop_signal_exit_status(int status);
// At the very end of the program: a process asked to stop by SIGINT ends by
// SIGINT (a shell loop around it then stops too); otherwise `status` is
// returned.
int end_as_stop_signal_asks(int status);
void clear_stop_request();

// Registers a temporary file that the handler removes before the process
// ends; returns a slot for forget_temporary_file, -1 when every slot is
// taken (the leftover is then removed at the next start).
int register_temporary_file(const std::u16string& path);
void forget_temporary_file(int slot);

#endif  // OVN8_PLATFORM_STOP_SIGNALS_H_
