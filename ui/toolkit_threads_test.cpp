// The toolkit's lock as the wizard holds it: a box shown outside any loop
// (as the start-up boxes are) leaves the lock to the loops after it, the
// preparing window's and the main loop with a box inside it. The lock is
// set up once per process, so the start-up runs in a process of its own;
// a loop that waits for the lock forever is ended there by an alarm.
#include "ui/toolkit_threads.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/message_box.h"
#include "platform/message_box_dialog.h"
#include "ui/kit_preparation.h"

namespace {

const int kStartedAndEnded = 0;
const int kNoDisplay = 2;
const int kWrongAnswer = 3;
const int kOpenLost = 4;

gboolean close_box(gpointer) {
  close_open_message_box();
  return FALSE;
}

// A real box, answered from the toolkit's loop once it runs.
int box_closed_from_its_loop() {
  gdk_threads_add_timeout(20, close_box, nullptr);
  return messageBox(nullptr, u"The previous installation was interrupted.", kMessageBoxOk);
}

gboolean box_then_quit(gpointer) {
  if (box_closed_from_its_loop() != kMessageBoxResultNone) _exit(kWrongAnswer);
  gtk_main_quit();
  return FALSE;
}

void start_up_as_the_wizard_does() {
  alarm(20);
  ToolkitThreads threads;
  int argc = 0;
  char** argv = nullptr;
  if (!gtk_init_check(&argc, &argv)) _exit(kNoDisplay);
  use_toolkit_message_boxes();
  if (box_closed_from_its_loop() != kMessageBoxResultNone) _exit(kWrongAnswer);
  // Slower than the delay, so that the preparing window shows and moves.
  KitPreparation preparation("Preparing test", 0);
  const uint32_t opened = preparation.run([] {
    usleep(300000);
    return uint32_t(7);
  });
  if (opened != 7 || !preparation.windowShown()) _exit(kOpenLost);
  gdk_threads_add_timeout(20, box_then_quit, nullptr);
  gtk_main();
  exit(kStartedAndEnded);
}

TEST(ToolkitThreadsTest, BoxesOutsideAndInsideLoopsLeaveTheLockToTheLoopsAfterThem) {
  if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  // The child starts afresh: nothing of this process's toolkit comes along.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start_up_as_the_wizard_does(), testing::ExitedWithCode(kStartedAndEnded), "");
}

}  // namespace
