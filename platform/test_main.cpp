// Shared main of every test binary: the environment's locale is put in force
// once, before any test starts a thread, as the wizard does at start-up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/text.h"

// The toolkit keeps caches (fontconfig, Pango, GTK type data) for the life of
// the process, which LeakSanitizer would report once a window has been shown.
extern "C" const char* __lsan_default_options() {
  return "suppressions=" OVN8_DEFAULT_SOURCE_DIR "/platform/lsan_toolkit.supp:print_suppressions=0";
}

int main(int argc, char** argv) {
  // Where this build's programs (ovn8setup, okdpack) and the sources lie,
  // unless the caller says otherwise.
  setenv("OVN8_BUILD_DIR", OVN8_DEFAULT_BUILD_DIR, 0);
  setenv("OVN8_SOURCE_DIR", OVN8_DEFAULT_SOURCE_DIR, 0);
  init_locale_from_environment();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
