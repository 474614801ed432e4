#include "app/window_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool needs(std::vector<const char*> args, const char* display) {
  args.insert(args.begin(), "ovn8setup");
  return needs_window_program(int(args.size()), args.data(), display);
}

// Only a run that may show a window or a box on a display needs the
// toolkit; the rest stays in the program without it.
TEST(WindowProgramTest, OnlyARunThatMayShowAWindowNeedsTheToolkit) {
  for (const char* display : {":0", "localhost:10.0"}) {
    EXPECT_TRUE(needs({}, display));
    EXPECT_TRUE(needs({"-S"}, display));  // a silent run's error box waits for the user
    EXPECT_TRUE(needs({"--kit=/k.okd", "--target=/t", "--json", "--dry-run"}, display));
    EXPECT_TRUE(needs({"usecwd", "-Lde"}, display));
    EXPECT_FALSE(needs({"--unattended", "--target=/t"}, display));
    EXPECT_FALSE(needs({"-S", "--unattended"}, display));
    EXPECT_FALSE(needs({"--help"}, display));
    EXPECT_FALSE(needs({"--version"}, display));
    EXPECT_FALSE(needs({"--verify", "--target=/t"}, display));
    EXPECT_FALSE(needs({"--uninstall", "--target=/t"}, display));
    EXPECT_FALSE(needs({"--repair", "--target=/t"}, display));
  }
  // No display named: nothing could be shown.
  for (const char* display : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_FALSE(needs({}, display));
    EXPECT_FALSE(needs({"-S", "--target=/t"}, display));
    EXPECT_FALSE(needs({"--target"}, display));  // a bad option is said the same by both
  }
  // The toolkit's own options are known to the toolkit alone, which also
  // takes them out without a display; so is an option nobody knows, which
  // the window program then reports as the wizard always has.
  EXPECT_TRUE(needs({"--unattended", "--display=:1"}, nullptr));
  EXPECT_TRUE(needs({"--sync", "--help"}, nullptr));
  EXPECT_TRUE(needs({"--unattended", "--no-such-option"}, nullptr));
  EXPECT_TRUE(needs({"/k.okd", "/second.okd"}, nullptr));
}

TEST(WindowProgramTest, TheWindowProgramIsLookedForBesideTheProgramThenWhereItIsInstalled) {
  EXPECT_EQ(window_program_candidates("/build/ovn8setup", "/usr/libexec/ovn8setup/ovn8setup-gtk"),
            (std::vector<std::string>{"/build/ovn8setup-gtk", "/usr/libexec/ovn8setup/ovn8setup-gtk"}));
  EXPECT_EQ(window_program_candidates("/build/ovn8setup_test_seams", "/usr/libexec/ovn8setup/ovn8setup-gtk"),
            (std::vector<std::string>{"/build/ovn8setup_test_seams-gtk", "/usr/libexec/ovn8setup/ovn8setup-gtk"}));
  // The program's own file unknown: only where it is installed; never twice.
  EXPECT_EQ(window_program_candidates("", "/usr/libexec/ovn8setup/ovn8setup-gtk"),
            (std::vector<std::string>{"/usr/libexec/ovn8setup/ovn8setup-gtk"}));
  EXPECT_EQ(window_program_candidates("/usr/libexec/ovn8setup/ovn8setup", "/usr/libexec/ovn8setup/ovn8setup-gtk"),
            (std::vector<std::string>{"/usr/libexec/ovn8setup/ovn8setup-gtk"}));
}

}  // namespace
