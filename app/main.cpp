// The wizard's entry point. This program has no toolkit: a run that may
// show a window is handed to the window program (window_main.cpp).
#include <stdlib.h>

#include "app/installer_app.h"
#include "app/program_start.h"
#include "app/window_program.h"

int main(int argc, char** argv) {
  // Before anything is done that the window program would do again.
  if (needs_window_program(argc, argv, getenv("DISPLAY"))) return exec_window_program(argv);
  start_program();
  CInstallerApp app(argc, argv, program_signature_settings(), terminal_front());
  // After a Ctrl+C the wizard ends by SIGINT once everything is put back.
  return end_as_stop_signal_asks(app.InitInstance());
}
