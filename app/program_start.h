// What both of the wizard's programs do before the application object:
// the program without the toolkit (main.cpp) and the window program
// (window_main.cpp).
#ifndef OVN8_APP_PROGRAM_START_H_
#define OVN8_APP_PROGRAM_START_H_

#include <stdlib.h>

#include "kit/kit_signature.h"
#include "platform/message_box.h"
#include "platform/stop_signals.h"
#include "platform/text.h"

inline void start_program() {
  // Before anything is made that a stop signal would have to take away.
  install_stop_signal_handlers();
  keep_running_when_output_closes();
  // The environment's locale, once, before any thread exists.
  init_locale_from_environment();
  // Unattended runs (scripts, CI) answer message boxes without a person:
  // OVN8_MESSAGE_BOX=autoclose or console.
  const char* boxes = getenv("OVN8_MESSAGE_BOX");
  MessageBoxMode mode;
  if (boxes != nullptr && parse_message_box_mode(boxes, &mode)) set_message_box_mode(mode);
}

inline config::SignatureSettings program_signature_settings() {
  config::SignatureSettings system;
#ifdef OVN8_TEST_SEAMS
  // Only the end-to-end tests' build: a system folder and a gpgv of the
  // test's own, so that no test touches /etc. The shipped program has no
  // such switch.
  if (const char* folder = getenv("OVN8_TEST_SYSTEM_FOLDER")) system.systemFolder = widen_lib(folder);
  if (const char* verifier = getenv("OVN8_TEST_GPGV")) system.verifier = verifier;
#endif
  return system;
}

#endif  // OVN8_APP_PROGRAM_START_H_
