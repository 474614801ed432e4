// Shared main of every test binary: the environment's locale is put in force
// once, before any test starts a thread, as the wizard does at start-up.
#include <gtest/gtest.h>

#include "platform/text.h"

int main(int argc, char** argv) {
  init_locale_from_environment();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
