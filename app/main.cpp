// The wizard's entry point.
#include <stdlib.h>

#include "app/installer_app.h"
#include "platform/message_box.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "ui/toolkit_threads.h"

int main(int argc, char** argv) {
  // Before anything is made that a stop signal would have to take away.
  install_stop_signal_handlers();
  // The environment's locale, once, before any thread exists.
  init_locale_from_environment();
  // Held by this thread to the end; every loop gives it back while it waits.
  ToolkitThreads toolkitThreads;

  // Unattended runs (scripts, CI) answer message boxes without a person:
  // OVN8_MESSAGE_BOX=autoclose or console.
  const char* boxes = getenv("OVN8_MESSAGE_BOX");
  MessageBoxMode mode;
  if (boxes != nullptr && parse_message_box_mode(boxes, &mode)) set_message_box_mode(mode);

  config::SignatureSettings system;
#ifdef OVN8_TEST_SEAMS
  // Only the end-to-end tests' build: a system folder and a gpgv of the
  // test's own, so that no test touches /etc. The shipped program has no
  // such switch.
  if (const char* folder = getenv("OVN8_TEST_SYSTEM_FOLDER")) system.systemFolder = widen_lib(folder);
  if (const char* verifier = getenv("OVN8_TEST_GPGV")) system.verifier = verifier;
#endif
  CInstallerApp app(argc, argv, system);
  // After a Ctrl+C the wizard ends by SIGINT once everything is put back.
  return end_as_stop_signal_asks(app.InitInstance());
}
