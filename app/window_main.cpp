// The window program's entry point: the wizard with the toolkit, started by
// the wizard's program (main.cpp) in its place when a window may be shown.
#include "app/installer_app.h"
#include "app/program_start.h"
#include "platform/message_box_dialog.h"
#include "ui/toolkit_threads.h"

int main(int argc, char** argv) {
  start_program();
  // Held by this thread to the end; every loop gives it back while it waits.
  ToolkitThreads toolkitThreads;
  use_toolkit_message_boxes();
  CInstallerApp app(argc, argv, program_signature_settings(), window_front());
  // After a Ctrl+C the wizard ends by SIGINT once everything is put back.
  return end_as_stop_signal_asks(app.InitInstance());
}
