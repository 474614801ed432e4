// Shared main of every test binary: the environment's locale is put in force
// once, before any test starts a thread, as the wizard does at start-up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/text.h"

int main(int argc, char** argv) {
  // Where this build's programs (ovn8setup, okdpack) and the sources lie,
  // unless the caller says otherwise.
  setenv("OVN8_BUILD_DIR", OVN8_DEFAULT_BUILD_DIR, 0);
  setenv("OVN8_SOURCE_DIR", OVN8_DEFAULT_SOURCE_DIR, 0);
  init_locale_from_environment();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
