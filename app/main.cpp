// The wizard's entry point.
#include <gdk/gdk.h>
#include <glib.h>

#include <stdlib.h>

#include "app/installer_app.h"
#include "platform/message_box.h"
#include "platform/stop_signals.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  // Before anything is made that a stop signal would have to take away.
  install_stop_signal_handlers();
  // The environment's locale, once, before any thread exists.
  init_locale_from_environment();
#if !GLIB_CHECK_VERSION(2, 32, 0)
  g_thread_init(NULL);  // threads are always on in newer GLib
#endif
  gdk_threads_init();

  // Unattended runs (scripts, CI) answer message boxes without a person:
  // OVN8_MESSAGE_BOX=autoclose or console.
  const char* boxes = getenv("OVN8_MESSAGE_BOX");
  MessageBoxMode mode;
  if (boxes != nullptr && parse_message_box_mode(boxes, &mode)) set_message_box_mode(mode);

  CInstallerApp app(argc, argv);
  return app.InitInstance();
}
