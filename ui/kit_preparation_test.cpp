// The preparing window under a display: a kit that is slow to open (held
// by the file layer's hook, not by a sleep) shows it with the preparing
// text and a bar that moves, and it is gone before the welcome page or the
// damaged-kit box; a fast open shows nothing.
#include "ui/kit_preparation.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "kit/kit_reader.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/installer_dlg.h"
#include "ui/ui_test_support.h"

namespace {

using uitest::ScratchWorld;

const char kTitle[] = "Preparing test";

// Holds any thread but the test's own at its first use of the kit until
// released, so that the open takes as long as the test needs.
class KitGate {
 public:
  explicit KitGate(const std::string& kitPath)
      : kit_(widen_lib(kitPath)), testThread_(std::this_thread::get_id()) {
    FileSystem::SetFaultHook(&KitGate::hook, this);
  }
  ~KitGate() {
    release();
    FileSystem::SetFaultHook(nullptr, nullptr);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  bool held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }

 private:
  static uint32_t hook(FileOp, const std::u16string& path, void* self) {
    static_cast<KitGate*>(self)->hold(path);
    return 0;
  }
  void hold(const std::u16string& path) {
    if (path != kit_ || std::this_thread::get_id() == testThread_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.wait(lock, [this] { return released_; });
  }

  const std::u16string kit_;
  const std::thread::id testThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

template <class Widget>
Widget* find_child(GtkWidget* widget, GType type) {
  if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return reinterpret_cast<Widget*>(widget);
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  Widget* found = nullptr;
  for (GList* item = children; item && !found; item = item->next)
    found = find_child<Widget>(GTK_WIDGET(item->data), type);
  g_list_free(children);
  return found;
}

// A shown top-level window with a progress bar in it, other than `except`.
GtkWidget* visible_window_with_bar(GtkWidget* except = nullptr) {
  GList* windows = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* item = windows; item && !found; item = item->next) {
    GtkWidget* window = GTK_WIDGET(item->data);
    if (window != except && gtk_widget_get_visible(window) &&
        find_child<GtkProgressBar>(window, GTK_TYPE_PROGRESS_BAR) != nullptr)
      found = window;
  }
  g_list_free(windows);
  return found;
}

// Runs on the interface thread while the open is held: waits for the
// preparing window, notes what it shows, waits for its bar to move, then
// lets the open go on. Gives up (and lets go) after a generous while.
class WindowWatch {
 public:
  explicit WindowWatch(KitGate& gate) : gate_(gate), deadline_(g_get_monotonic_time() + 30 * G_USEC_PER_SEC) {
    source_ = g_timeout_add(20, &WindowWatch::onTick, this);
  }
  ~WindowWatch() {
    if (source_ != 0) g_source_remove(source_);
  }

  bool seen = false;
  bool moved = false;
  bool heldWhenSeen = false;
  std::string title, label;

 private:
  static gboolean onTick(gpointer self) {
    WindowWatch& watch = *static_cast<WindowWatch*>(self);
    if (watch.tick()) return TRUE;
    watch.source_ = 0;
    watch.gate_.release();
    return FALSE;
  }
  // False when done.
  bool tick() {
    if (g_get_monotonic_time() > deadline_) return false;
    GtkWidget* window = visible_window_with_bar();
    if (window == nullptr || !gtk_widget_get_mapped(window)) return true;
    GtkWidget* bar = GTK_WIDGET(find_child<GtkProgressBar>(window, GTK_TYPE_PROGRESS_BAR));
    if (!seen) {
      seen = true;
      heldWhenSeen = gate_.held();
      title = gtk_window_get_title(GTK_WINDOW(window));
      GtkLabel* text = find_child<GtkLabel>(window, GTK_TYPE_LABEL);
      if (text != nullptr) label = gtk_label_get_text(text);
      lastPosition_ = GTK_PROGRESS_BAR(bar)->activity_pos;
      return true;
    }
    // The block of a pulsing bar moves on with every pulse.
    const gint position = GTK_PROGRESS_BAR(bar)->activity_pos;
    if (position != lastPosition_) ++changes_;
    lastPosition_ = position;
    moved = changes_ >= kChangesOfAMovingBar;
    return !moved;
  }

  static const int kChangesOfAMovingBar = 3;

  KitGate& gate_;
  gint64 deadline_;
  guint source_ = 0;
  gint lastPosition_ = 0;
  int changes_ = 0;
};

class KitPreparationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!uitest::toolkit_available()) GTEST_SKIP() << "no display";
    set_resource_lang(get_lang_id_by_lang_code("de"));
  }
  void TearDown() override { set_resource_lang(get_lang_id_by_lang_code("en")); }

  void writeKit(bool damaged = false) {
    std::vector<config::KitFileSpec> files;
    for (int i = 0; i < 20; ++i) {
      const std::u16string name = widen_lib("forms\\f" + std::to_string(i) + ".tpl");
      files.emplace_back(name, std::string(3000, char('a' + i)), uitest::time_of(1500000000));
    }
    ASSERT_TRUE(config::writeKit(world.kitPath(), files));
    if (damaged) {
      // A block header of the reserved type 3: not a DEFLATE stream.
      std::string bytes = uitest::readFile(world.kitPath());
      bytes[0] = char(0x07);
      ASSERT_TRUE(config::writeFileBytes(world.kitPath(), bytes));
    }
  }

  ScratchWorld world;
};

TEST_F(KitPreparationTest, SlowOpenShowsTheTextAndAMovingBarUntilTheKitIsOpen) {
  writeKit();
  config::KitReader reader;
  KitPreparation preparation(kTitle);
  uint32_t result = 1;
  {
    KitGate gate(world.kitPath());
    WindowWatch watch(gate);
    result = preparation.run([&] { return reader.open(widen_lib(world.kitPath())); });
    EXPECT_TRUE(watch.seen);
    EXPECT_TRUE(watch.heldWhenSeen) << "the window must show while the open is still going on";
    EXPECT_TRUE(watch.moved) << "the bar did not move";
    EXPECT_EQ(watch.title, kTitle);
    EXPECT_EQ(watch.label, narrow_lib(LoadResString("IDS_PREPARECOPY")));
    EXPECT_EQ(watch.label, "Kopiervorgang wird vorbereitet...");
  }
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(reader.entries.size(), 20u);
  EXPECT_TRUE(preparation.windowShown());
  EXPECT_EQ(preparation.window(), nullptr);
  EXPECT_EQ(visible_window_with_bar(), nullptr) << "the window stays after the open";
}

TEST_F(KitPreparationTest, FastOpenShowsNothing) {
  writeKit();
  config::KitReader reader;
  KitPreparation preparation(kTitle);
  EXPECT_EQ(preparation.run([&] { return reader.open(widen_lib(world.kitPath())); }), 0u);
  EXPECT_FALSE(preparation.windowShown());
  EXPECT_EQ(reader.entries.size(), 20u);
  EXPECT_EQ(visible_window_with_bar(), nullptr);
}

TEST_F(KitPreparationTest, SlowDamagedKitIsRefusedAsBeforeAndLeavesNothing) {
  writeKit(true);
  config::KitReader reader;
  KitPreparation preparation(kTitle);
  uint32_t result = 0;
  {
    KitGate gate(world.kitPath());
    WindowWatch watch(gate);
    result = preparation.run([&] { return reader.open(widen_lib(world.kitPath())); });
    EXPECT_TRUE(watch.seen);
  }
  EXPECT_EQ(result, uint32_t(ERROR_INVALID_DATA));
  EXPECT_EQ(world.tmpEntries(), 0);
  EXPECT_EQ(visible_window_with_bar(), nullptr);
}

// The wizard: the window shows before the welcome page and is gone when
// the main window opens; a damaged kit's box comes after it has gone.
TEST_F(KitPreparationTest, WizardShowsItBeforeTheWelcomePageAndBeforeTheDamagedKitBox) {
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged kit" : "sound kit");
    writeKit(damaged);
    bool windowAtBox = true;
    int boxes = 0;
    set_message_box_responder([&](const MessageBoxRequest&) {
      ++boxes;
      windowAtBox = visible_window_with_bar() != nullptr;
      return int(kMessageBoxResultOk);
    });
    uitest::TestWizard dialog(uitest::test_settings(false, u"de"), kTitle);
    bool passed = !damaged;
    {
      KitGate gate(world.kitPath());
      WindowWatch watch(gate);
      passed = dialog.OnInitDialog();
      EXPECT_TRUE(watch.seen);
      EXPECT_EQ(watch.title, kTitle);
    }
    set_message_box_responder(nullptr);
    EXPECT_EQ(passed, !damaged);
    EXPECT_EQ(boxes, damaged ? 1 : 0);
    if (damaged) {
      EXPECT_FALSE(windowAtBox);
      EXPECT_EQ(world.tmpEntries(), 0);
      continue;
    }
    EXPECT_EQ(dialog.installation.kit().entries.size(), 20u);
    dialog.showMainWindow();
    dialog.showWelcomePage();
    uitest::flush_events();
    EXPECT_EQ(visible_window_with_bar(dialog.mainWindow), nullptr);
  }
}

}  // namespace
