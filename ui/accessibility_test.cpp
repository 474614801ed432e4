// What a screen reader hears: every page and box of the wizard is read over
// the accessibility bus (at-spi), as an assistive program reads it, in two
// languages. The wizard runs in a process of its own (this binary again,
// with the toolkit's accessibility bridge loaded) and shows one page or box
// after another when told; this side reads each one's roles and names.
#include <atspi/atspi.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/message_box_dialog.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/mnemonics.h"
#include "ui/ui_test_support.h"

namespace {

// Set in the wizard's process: the language it speaks.
const char kWizardLanguage[] = "OVN8_A11Y_WIZARD";
// The wizard's process says on this descriptor what it shows, and waits on
// the other for the word to go on.
const int kShownFd = 3;
const int kGoFd = 4;

std::string text(const char* key) { return narrow_lib(LoadResString(key)); }

// ---------------------------------------------------------------- the wizard's side

bool g_go = false;

gboolean on_go(GIOChannel* channel, GIOCondition, gpointer) {
  gchar* line = nullptr;
  gsize length = 0;
  if (g_io_channel_read_line(channel, &line, &length, nullptr, nullptr) != G_IO_STATUS_NORMAL) _exit(0);
  g_free(line);
  g_go = true;
  close_open_message_box();
  return TRUE;
}

void say_shown(const std::string& what) {
  const std::string line = what + "\n";
  if (write(kShownFd, line.data(), line.size()) != ssize_t(line.size())) _exit(1);
}

void show_and_wait(const std::string& what) {
  uitest::flush_events();
  g_go = false;
  say_shown(what);
  while (!g_go) gtk_main_iteration();
}

// The box says itself shown from inside its own loop; the word to go on closes it.
void box_and_wait(CWnd* parent, const std::string& what, const std::u16string& message, unsigned flags) {
  static std::string name;
  name = what;
  g_timeout_add(100, [](gpointer) -> gboolean {
    uitest::flush_events();
    say_shown(name);
    return FALSE;
  }, nullptr);
  messageBox(parent, message, flags);
}

TEST(AccessibilityWizardSide, ShowsEveryPageAndBoxWhenTold) {
  const char* language = getenv(kWizardLanguage);
  if (language == nullptr) GTEST_SKIP() << "the wizard's side of AccessibilityTest";
  ASSERT_TRUE(uitest::toolkit_available());
  set_resource_lang(get_lang_id_by_lang_code(language));
  uitest::ScratchWorld world;
  config::KitSpec spec;
  spec.descriptions = {{u"en", u"Sample Templates", u"Example Software Ltd.", u"readme.html"}};
  spec.files.emplace_back(u"readme.html", "<html/>", uitest::time_of(1600000000));
  ASSERT_TRUE(config::writeKit(world.kitPath(), spec));
  uitest::TestWizard d(uitest::test_settings(false, widen_lib(language)), text("IDR_MAINFRAME"));
  ASSERT_TRUE(d.OnInitDialog());
  GIOChannel* go = g_io_channel_unix_new(kGoFd);
  g_io_add_watch(go, GIOCondition(G_IO_IN | G_IO_HUP), on_go, nullptr);
  d.showMainWindow();
  d.showWelcomePage();
  show_and_wait("welcome");
  d.showSelectPathPage();
  show_and_wait("directory");
  RunReport half;
  half.progress = 50;
  half.phase = RunPhase::kCopying;
  d.showRunPage(half);
  show_and_wait("progress");
  ASSERT_EQ(system(("mkdir -p '" + world.defaultTarget() + "'").c_str()), 0);
  ASSERT_TRUE(config::writeFileBytes(world.defaultTarget() + "readme.html", "<html/>"));
  d.showSuccessFinalPage();
  show_and_wait("success");
  d.showErrorFinalPage();
  show_and_wait("error");
  d.showCancelFinalPage();
  show_and_wait("cancelled");
  box_and_wait(&d, "question", LoadResString("IDS_ACCEPT_CANCEL"), kMessageBoxQuestion | kMessageBoxYesNo);
  box_and_wait(&d, "error box", LoadResString("IDS_ERROR_TARGETBUSY"), kMessageBoxError | kMessageBoxOk);
  box_and_wait(&d, "warning box", LoadResString("IDS_WARN_LAUNCHERFILE"), kMessageBoxWarning | kMessageBoxOk);
  box_and_wait(&d, "notice box", LoadResString("IDS_SETUP_EMPTYTARGET"), kMessageBoxOk);
  say_shown("end");
  g_io_channel_unref(go);
}

// ---------------------------------------------------------------- the reader's side

struct Heard {
  std::string role;
  std::string name;
};

std::string listed(const std::vector<Heard>& heard) {
  std::string all;
  for (const Heard& h : heard) all += "\n  " + h.role + ": " + h.name;
  return all;
}

void walk(AtspiAccessible* object, std::vector<Heard>& heard);

void walk_children(AtspiAccessible* object, std::vector<Heard>& heard) {
  const int children = atspi_accessible_get_child_count(object, nullptr);
  for (int i = 0; i < children; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, nullptr);
    if (child == nullptr) continue;
    walk(child, heard);
    g_object_unref(child);
  }
}

// Everything showing under `object`, as a screen reader walks it.
void walk(AtspiAccessible* object, std::vector<Heard>& heard) {
  AtspiStateSet* states = atspi_accessible_get_state_set(object);
  const bool showing = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
  g_object_unref(states);
  if (!showing) return;
  gchar* role = atspi_accessible_get_role_name(object, nullptr);
  gchar* name = atspi_accessible_get_name(object, nullptr);
  heard.push_back({role ? role : "", name ? name : ""});
  g_free(role);
  g_free(name);
  walk_children(object, heard);
}

bool has(const std::vector<Heard>& heard, const std::string& role, const std::string& name) {
  return std::any_of(heard.begin(), heard.end(),
                     [&](const Heard& h) { return h.role == role && h.name == name; });
}

class AccessibilityTest : public testing::Test {
 protected:
  void SetUp() override {
    if (getenv(kWizardLanguage) != nullptr) GTEST_SKIP() << "inside the wizard's process";
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
    for (const char* needed : {"/usr/bin/dbus-daemon", "/usr/libexec/at-spi-bus-launcher",
                               "/usr/lib/x86_64-linux-gnu/gtk-2.0/modules/libatk-bridge.so"})
      if (access(needed, F_OK) != 0) GTEST_SKIP() << "needs " << needed << " (scripts/deps)";
    // A session bus of our own: the accessibility bus is started on it.
    FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    ASSERT_NE(bus, nullptr);
    char address[512] = {}, pid[32] = {};
    const bool read = fgets(address, sizeof(address), bus) && fgets(pid, sizeof(pid), bus);
    pclose(bus);
    ASSERT_TRUE(read);
    address[strcspn(address, "\n")] = 0;
    busPid_ = atoi(pid);
    setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
    ASSERT_EQ(atspi_init(), 0);
  }

  void TearDown() override {
    if (wizard_ > 0) {
      kill(wizard_, SIGKILL);
      waitpid(wizard_, nullptr, 0);
    }
    if (busPid_ > 0) kill(busPid_, SIGTERM);
    set_resource_lang(LANG_EN);
  }

  void startWizard(const std::string& language) {
    int shown[2], go[2];
    ASSERT_EQ(pipe(shown), 0);
    ASSERT_EQ(pipe(go), 0);
    wizard_ = fork();
    ASSERT_GE(wizard_, 0);
    if (wizard_ == 0) {
      dup2(shown[1], kShownFd);
      dup2(go[0], kGoFd);
      setenv(kWizardLanguage, language.c_str(), 1);
      setenv("GTK_MODULES", "gail:atk-bridge", 1);
      setenv("NO_AT_BRIDGE", "0", 1);
      execl("/proc/self/exe", "ui_tests", "--gtest_filter=AccessibilityWizardSide.*", nullptr);
      _exit(127);
    }
    close(shown[1]);
    close(go[0]);
    shown_ = fdopen(shown[0], "r");
    goFd_ = go[1];
  }

  // The next thing the wizard shows; empty when it has ended.
  std::string nextShown() {
    char line[128] = {};
    if (!fgets(line, sizeof(line), shown_)) return std::string();
    line[strcspn(line, "\n")] = 0;
    return line;
  }

  void goOn() { ASSERT_EQ(write(goFd_, "go\n", 3), 3); }

  // The wizard's application on the bus (it registers when its toolkit starts).
  AtspiAccessible* wizardApplication() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      AtspiAccessible* desktop = atspi_get_desktop(0);
      const int count = atspi_accessible_get_child_count(desktop, nullptr);
      for (int i = 0; i < count; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (app && atspi_accessible_get_process_id(app, nullptr) == guint(wizard_)) {
          g_object_unref(desktop);
          return app;
        }
        if (app) g_object_unref(app);
      }
      g_object_unref(desktop);
      g_usleep(50000);
    }
    return nullptr;
  }

  std::vector<Heard> hear(AtspiAccessible* app) {
    atspi_accessible_clear_cache(app);
    std::vector<Heard> heard;
    walk_children(app, heard);  // its windows
    return heard;
  }

  // What every page and box must say, in `language`.
  void readEveryPageAndBox(const std::string& language) {
    set_resource_lang(get_lang_id_by_lang_code(language));
    startWizard(language);
    std::vector<std::string> seen;
    AtspiAccessible* app = nullptr;
    for (std::string what = nextShown(); !what.empty() && what != "end"; what = nextShown()) {
      SCOPED_TRACE(language + " " + what);
      seen.push_back(what);
      if (app == nullptr) app = wizardApplication();
      ASSERT_NE(app, nullptr) << "the wizard is not on the accessibility bus";
      const std::vector<Heard> heard = hear(app);
      checkPageOrBox(what, heard);
      goOn();
    }
    if (app) g_object_unref(app);
    EXPECT_EQ(seen.size(), 10u);
    int status = -1;
    waitpid(wizard_, &status, 0);
    wizard_ = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the wizard's side failed";
    fclose(shown_);
    close(goFd_);
  }

  void checkPageOrBox(const std::string& what, const std::vector<Heard>& heard) {
    const std::string all = listed(heard);
    EXPECT_TRUE(has(heard, "frame", text("IDR_MAINFRAME"))) << all;
    // Nothing a user acts on or looks at is unnamed, and no control's name
    // carries an arrow or an access key's mark.
    for (const Heard& h : heard) {
      const bool control = h.role == "push button" || h.role == "check box" || h.role == "text";
      if (control || h.role == "progress bar" || h.role == "icon" || h.role == "image") {
        EXPECT_FALSE(h.name.empty()) << h.role << " without a name" << all;
      }
      if (control) {
        EXPECT_EQ(h.name.find_first_of("<>_"), std::string::npos) << h.role << ": " << h.name;
      }
    }
    const bool box = what.find("box") != std::string::npos || what == "question";
    if (!box) {
      EXPECT_TRUE(has(heard, "icon", text("IDR_MAINFRAME")) || what == "progress") << all;
      EXPECT_TRUE(has(heard, "push button", undecorated(text("IDS_WIZARD_CANCEL")))) << all;
    }
    // What each page or box must say: a role, and the text whose words
    // name it (without the arrows of a button).
    struct Expected {
      const char* what;
      const char* role;
      const char* key;
    };
    static const Expected kExpected[] = {
        {"welcome", "push button", "IDS_WIZARD_NEXT"},    {"welcome", "push button", "IDS_WIZARD_BACK"},
        {"directory", "text", "IDS_TEMPLATE_CATALOG"},   {"directory", "push button", "IDS_BROWSE_TOOLTIP"},
        {"directory", "label", "IDS_DESTINATION_PROMPT"}, {"progress", "progress bar", "IDS_PROGRESS_START"},
        {"progress", "label", "IDS_TITLE_INSTALLER"},     {"success", "check box", "IDS_SUCCESS_OPENDESCR"},
        {"success", "push button", "IDS_WIZARD_FINISH"},  {"cancelled", "label", "IDS_CANCEL_FINISH"},
        {"question", "alert", "IDS_BOX_QUESTION"},        {"question", "push button", "IDS_MSGBOX_YES"},
        {"question", "push button", "IDS_MSGBOX_NO"},     {"question", "label", "IDS_ACCEPT_CANCEL"},
        {"error box", "alert", "IDS_BOX_ERROR"},          {"error box", "push button", "IDS_MSGBOX_OK"},
        {"warning box", "alert", "IDS_BOX_WARNING"},      {"notice box", "alert", "IDS_BOX_NOTICE"},
    };
    for (const Expected& e : kExpected) {
      if (what == e.what) {
        EXPECT_TRUE(has(heard, e.role, undecorated(text(e.key)))) << e.role << " " << e.key << all;
      }
    }
  }

  pid_t busPid_ = 0;
  pid_t wizard_ = 0;
  FILE* shown_ = nullptr;
  int goFd_ = -1;
};

TEST_F(AccessibilityTest, EveryPageAndBoxIsNamedInTheInterfaceLanguage) {
  readEveryPageAndBox("de");
  readEveryPageAndBox("ru");
}

}  // namespace
