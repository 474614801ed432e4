// The wizard in-process under a display: the start-up checks, the window's
// layout, every transition of the page flow with the buttons after each,
// cancel, Escape and closing, the outcome codes and the Finish action.
#include "ui/installer_dlg.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "config/config_paths.h"
#include "config/starter.h"
#include "install/target_lock.h"
#include "kit/container_builder.h"
#include "kit/gpg_test_support.h"
#include "kit/kit_writer.h"
#include "install/wizard_paths.h"
#include "platform/file_fault_injector.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/reasons.h"
#include "ui/document_opener.h"
#include "ui/ui_test_support.h"

namespace {

using uitest::BoxRecorder;
using uitest::ScratchWorld;
using uitest::TestWizard;

const unsigned kErrorFlags = kMessageBoxError | kMessageBoxOk;
const unsigned kQuestionFlags = kMessageBoxQuestion | kMessageBoxYesNo;

struct ButtonState {
  std::string label;
  bool sensitive;
  bool visible;
  bool operator==(const ButtonState& o) const {
    return label == o.label && sensitive == o.sensitive && visible == o.visible;
  }
};

std::ostream& operator<<(std::ostream& out, const ButtonState& b) {
  return out << "{" << b.label << (b.sensitive ? ", sensitive" : ", insensitive")
             << (b.visible ? ", visible}" : ", hidden}");
}

// The label as shown: without the mark of its access key.
ButtonState button(GtkWidget* widget) {
  GtkWidget* label = gtk_bin_get_child(GTK_BIN(widget));
  return {GTK_IS_LABEL(label) ? gtk_label_get_text(GTK_LABEL(label)) : "",
          gtk_widget_get_sensitive(widget) != FALSE, gtk_widget_get_visible(widget) != FALSE};
}

std::string text(const char* key) { return narrow_lib(LoadResString(key)); }

bool page_visible(WizardDialogPage* page) {
  for (GtkWidget* widget : page->getWidgets())
    if (!gtk_widget_get_visible(widget)) return false;
  return true;
}

bool page_hidden(WizardDialogPage* page) {
  for (GtkWidget* widget : page->getWidgets())
    if (gtk_widget_get_visible(widget)) return false;
  return true;
}

GtkAllocation allocation(GtkWidget* widget) {
  GtkAllocation box;
  gtk_widget_get_allocation(widget, &box);
  return box;
}

void expect_box(GtkWidget* widget, int x, int y, int w, int h, const char* what) {
  const GtkAllocation box = allocation(widget);
  EXPECT_EQ(box.x, x) << what;
  EXPECT_EQ(box.y, y) << what;
  if (w >= 0) {
    EXPECT_EQ(box.width, w) << what;
  }
  if (h >= 0) {
    EXPECT_EQ(box.height, h) << what;
  }
}

void send_key(GtkWidget* window, guint keyval, guint modifiers = 0, GdkEventType type = GDK_KEY_PRESS) {
  GdkEvent* event = gdk_event_new(type);
  event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
  event->key.send_event = TRUE;
  event->key.keyval = keyval;
  event->key.state = modifiers;
  // Key bindings (Enter in an entry) are looked up by the hardware key.
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys, &count) &&
      count > 0)
    event->key.hardware_keycode = guint16(keys[0].keycode);
  g_free(keys);
  gtk_widget_event(window, event);
  gdk_event_free(event);
}

void send_delete(GtkWidget* window) {
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
  event->any.send_event = TRUE;
  gtk_main_do_event(event);
  gdk_event_free(event);
}

// Runs the main loop until `done` (a button activated by the keyboard
// clicks only after a short delay), at most two seconds.
template <class Done>
void run_until(Done done) {
  const gint64 end = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
  while (!done() && g_get_monotonic_time() < end) {
    while (gtk_events_pending()) gtk_main_iteration();
    g_usleep(5000);
  }
}

// Calls `action` from the main loop each few milliseconds while it returns
// true, so that it runs inside the wizard's progress loop.
class Repeating {
 public:
  explicit Repeating(std::function<bool()> action) : action_(std::move(action)) {
    source_ = g_timeout_add(5, &Repeating::fire, this);
  }
  ~Repeating() {
    if (source_) g_source_remove(source_);
  }

 private:
  static gboolean fire(gpointer self) {
    Repeating* me = static_cast<Repeating*>(self);
    if (me->action_()) return TRUE;
    me->source_ = 0;
    return FALSE;
  }
  std::function<bool()> action_;
  guint source_ = 0;
};

// The kit's documents lie in docs/, which a run into a fresh folder makes
// under a staging name first (the first folder it makes: "-d0").
bool in_docs(const std::u16string& path) {
  return path.find(u"/docs/") != std::u16string::npos ||
         (path.find(u"/.n8new") != std::u16string::npos && path.find(u"-d0/") != std::u16string::npos);
}

// Slows every file opening below the template directory, so that a run of
// many entries lasts long enough to be cancelled while it goes on.
uint32_t slow_hook(FileOp op, const std::u16string& path, void*) {
  if (op == FileOp::CreateFile && in_docs(path)) g_usleep(15000);
  return 0;
}

// Fails the extraction of the first entry below docs/ (each small entry is
// written in one piece; the journal's writes go elsewhere).
std::atomic<int> g_fileTimes{0};
uint32_t failing_hook(FileOp op, const std::u16string& path, void*) {
  if (op == FileOp::WriteFile && in_docs(path) && ++g_fileTimes == 1)
    return ERROR_CANTWRITE;
  return 0;
}

std::vector<std::vector<std::string>> g_launched;
bool record_launch(const std::vector<std::string>& argv) {
  g_launched.push_back(argv);
  return true;
}

class InstallerDlgTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!uitest::toolkit_available()) GTEST_SKIP() << "no display";
    set_resource_lang(LANG_EN);
    g_launched.clear();
    set_process_launcher(record_launch);
  }
  void TearDown() override {
    FileSystem::SetFaultHook(nullptr, nullptr);
    set_process_launcher(nullptr);
    set_message_box_mode(MessageBoxMode::Interactive);
    set_resource_lang(LANG_EN);
  }

  // A kit of `count` files a0.txt, a1.txt, ... in "docs\" plus readme.html.
  void writeKit(int count = 3, std::vector<config::KitDescription> descriptions = {}) {
    config::KitSpec spec;
    if (descriptions.empty())
      descriptions.push_back({u"en", u"Sample Templates", u"Example Vendor", u"readme.html"});
    spec.descriptions = descriptions;
    for (int i = 0; i < count; ++i) {
      config::KitFileSpec file;
      file.name = widen_lib("docs\\a" + std::to_string(i) + ".txt");
      file.data = "file " + std::to_string(i);
      file.lastWriteTime = uitest::time_of(1600000000 + i);
      spec.files.push_back(file);
    }
    spec.files.emplace_back(u"readme.html", "<html>readme</html>", uitest::time_of(1600000000));
    ASSERT_TRUE(config::writeKit(world_.kitPath(), spec));
  }

  std::unique_ptr<TestWizard> makeDialog(bool silent = false, std::u16string lang = u"en",
                                         std::u16string target = std::u16string()) {
    return std::unique_ptr<TestWizard>(
        new TestWizard(uitest::test_settings(silent, lang, target), "Setup Title"));
  }

  // The dialog after OnInitDialog with its window and the welcome page.
  std::unique_ptr<TestWizard> openWizard(bool silent = false) {
    std::unique_ptr<TestWizard> dialog = makeDialog(silent);
    EXPECT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    uitest::flush_events();
    return dialog;
  }

  // Next on the directory page: a directory that holds this kit already
  // offers the choice, and is installed into again.
  void installFromDirectoryPage(CInstallerDlg& d) {
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    if (d.currentState() != kStateMaintenance) return;
    d.maintenancePage->choose(MaintenancePage::Choice::kInstall);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  }

  void expectButtons(CInstallerDlg& d, ButtonState back, ButtonState next, ButtonState cancel) {
    EXPECT_EQ(button(d.buttonPrev), back);
    EXPECT_EQ(button(d.buttonNext), next);
    EXPECT_EQ(button(d.buttonCancel), cancel);
  }

  ScratchWorld world_;
  char name_[16] = "ovn8setup";
  char* argvStorage_[2] = {name_, nullptr};
  int argc_ = 1;
  char** argv_ = argvStorage_;
};

TEST_F(InstallerDlgTest, StartUpChecksStopAtTheFirstFailureWithItsMessage) {
  {
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = makeDialog();
    EXPECT_EQ(dialog->DoModal(), kExitStartupFailed);
    EXPECT_EQ(dialog->mainWindow, nullptr);
    ASSERT_EQ(boxes.asked.size(), 1u);
    // It says where it looked.
    EXPECT_EQ(narrow_lib(boxes.asked[0].text),
              text("IDS_ERROR_NOSOURCE") + "\n" + text("IDS_KIT_LOOKED_AT") + "\n" + world_.kitPath());
    EXPECT_EQ(boxes.asked[0].flags, kErrorFlags);
    EXPECT_EQ(boxes.asked[0].title, u"Setup Title");
  }
  {
    ASSERT_TRUE(config::writeFileBytes(world_.kitPath(), "this is no deflate stream \xff\xfe"));
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = makeDialog();
    EXPECT_EQ(dialog->DoModal(), kExitStartupFailed);
    EXPECT_EQ(dialog->mainWindow, nullptr);
    ASSERT_EQ(boxes.asked.size(), 1u);
    // The message says what is wrong with the kit.
    EXPECT_EQ(narrow_lib(boxes.asked[0].text),
              text("IDS_ERROR_DAMAGEDSOURCE") + "\n" + text("IDS_REASON_KITDAMAGED"));
    EXPECT_EQ(dialog->installation.kitPath(), widen_lib(world_.kitPath()));
  }
  {
    // One entry's bytes do not match its checksum: the box names that file
    // as it would lie in the directory, in the interface language. A kit
    // laid out in another order than its table is unpacked and checked
    // whole at start (a streamed one as its bytes pass, see the session's
    // tests).
    config::KitSpec spec;
    spec.descriptions = {{u"de", u"Vorlagen", u"Anbieter", u""}};
    spec.files.emplace_back(u"forms\\invoice.tpl", "invoice body", uitest::time_of(1500000000));
    spec.files.emplace_back(u"forms\\letter.tpl", "letter body", uitest::time_of(1500000000));
    config::KitLayout reversed;
    reversed.reverseData = true;
    std::string container;
    ASSERT_TRUE(config::buildContainer(spec, reversed, container));
    container[container.find("invoice body")] = 'I';
    ASSERT_TRUE(config::writeContainerAsKit(world_.kitPath(), container));
    set_resource_lang(LANG_DE);
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = makeDialog(false, u"de");
    EXPECT_EQ(dialog->DoModal(), kExitStartupFailed);
    set_resource_lang(LANG_EN);
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0].text, u"Die Installationspaketdatei ovn8.okd ist beschädigt oder nicht für dieses "
                                   u"Installationsprogramm bestimmt.\nDie Datei forms/invoice.tpl im "
                                   u"Installationspaket ist beschädigt.");
  }
  EXPECT_EQ(world_.tmpEntries(), 0);
  {
    writeKit();
    set_resource_lang(LANG_RU);
    BoxRecorder boxes;
    struct Fail {
      static uint32_t noSpace(FileOp op, const std::u16string&, void*) {
        return op == FileOp::GetFreeSpaceTmpDir ? uint32_t(ERROR_INVALID_PARAMETER) : 0u;
      }
    };
    // A failing free-space query skips the check; the kit then opens.
    FileSystem::SetFaultHook(&Fail::noSpace, nullptr);
    std::unique_ptr<TestWizard> dialog = makeDialog();
    EXPECT_TRUE(dialog->OnInitDialog());
    EXPECT_TRUE(boxes.asked.empty());
  }
}

TEST_F(InstallerDlgTest, ProposedDirectoryComesFromTheLauncherListCleaned) {
  writeKit();
  {
    std::unique_ptr<TestWizard> dialog = makeDialog();
    ASSERT_TRUE(dialog->OnInitDialog());
    EXPECT_EQ(narrow_lib(dialog->installation.targetDirectory()), world_.defaultTarget());
  }
  const std::string config = world_.configPath();
  ASSERT_EQ(system(("mkdir -p '" + world_.home + "/.Ovan/ovanstart'").c_str()), 0);
  ASSERT_TRUE(config::writeFileBytes(
      config, "ConfigurationTemplatesLocation=file://" + world_.root + "/chosen\n"));
  {
    std::unique_ptr<TestWizard> dialog = makeDialog();
    ASSERT_TRUE(dialog->OnInitDialog());
    EXPECT_EQ(narrow_lib(dialog->installation.targetDirectory()), world_.root + "/chosen");
  }
  ASSERT_TRUE(config::writeFileBytes(config, "ConfigurationTemplatesLocation=ftp://host/t\n"));
  {
    // Silent mode refuses the empty proposal instead of installing into "".
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = makeDialog(true);
    EXPECT_EQ(dialog->DoModal(), kExitStartupFailed);
    EXPECT_TRUE(dialog->installation.targetDirectory().empty());
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_SETUP_EMPTYTARGET"));
    EXPECT_EQ(boxes.asked[0].flags, 1u);
    EXPECT_EQ(dialog->mainWindow, nullptr);
  }
}

TEST_F(InstallerDlgTest, WindowAndPagesSitAtTheirCoordinates) {
  writeKit();
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  int w = 0, h = 0;
  gtk_window_get_size(GTK_WINDOW(d.mainWindow), &w, &h);
  EXPECT_EQ(w, 500);
  EXPECT_EQ(h, 360);
  EXPECT_EQ(gtk_window_get_type_hint(GTK_WINDOW(d.mainWindow)), GDK_WINDOW_TYPE_HINT_NORMAL);
  EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(d.mainWindow)));
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d.mainWindow)), "Setup Title");
  GdkPixbuf* icon = gtk_window_get_icon(GTK_WINDOW(d.mainWindow));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(icon), 256);
  EXPECT_TRUE(gdk_pixbuf_get_has_alpha(icon));
  EXPECT_FALSE(gdk_pixbuf_get_has_alpha(d.banner()));
  EXPECT_EQ(gdk_pixbuf_get_width(d.banner()), 158);
  EXPECT_EQ(gdk_pixbuf_get_height(d.banner()), 286);

  GList* children = gtk_container_get_children(GTK_CONTAINER(d.container()));
  GtkWidget* separator = GTK_WIDGET(children->data);  // the first child made
  g_list_free(children);
  EXPECT_TRUE(GTK_IS_HSEPARATOR(separator));
  expect_box(separator, 10, 310, 480, 5, "separator");
  expect_box(d.buttonPrev, 230, 320, 80, 30, "back");
  expect_box(d.buttonNext, 310, 320, 80, 30, "next");
  expect_box(d.buttonCancel, 410, 320, 80, 30, "cancel");
  EXPECT_TRUE(gtk_widget_has_default(d.buttonNext));

  MessagePage* welcome = d.welcomePage;
  ASSERT_EQ(welcome->getWidgets().size(), 2u);
  EXPECT_EQ(welcome->getWidgets()[0], welcome->image);
  expect_box(welcome->image, 0, 0, 158, 286, "banner");
  expect_box(welcome->label, 170, 10, 320, 250, "welcome text");
  EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(welcome->label))),
            text("IDS_WELCOME_TITLE") + " Sample Templates (Example Vendor).\n\n" + text("IDS_KIT_UNSIGNED"));

  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  uitest::flush_events();
  DirSelectPage* dir = d.dirSelectPage;
  const std::vector<GtkWidget*> order = {dir->image, dir->promptLabel, dir->catalogLabel,
                                         dir->entry, dir->browseButton, dir->spaceLabel};
  EXPECT_EQ(dir->getWidgets(), order);
  expect_box(dir->image, 0, 0, 158, 286, "dir banner");
  // The field stands 30 pixels above its old place, for the space line.
  expect_box(dir->promptLabel, 170, 10, 320, 205, "prompt");
  expect_box(dir->catalogLabel, 170, 225, -1, -1, "catalog label");
  expect_box(dir->entry, 170, 245, 280, 30, "entry");
  expect_box(dir->browseButton, 460, 245, 30, 30, "browse");
  expect_box(dir->spaceLabel, 170, 281, -1, -1, "space label");
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(dir->browseButton)), "...");

  gtk_button_clicked(GTK_BUTTON(d.buttonNext));  // installs, then the success page
  uitest::flush_events();
  ASSERT_EQ(d.currentState(), kStateSuccess);
  // The progress page from the top: the heading, the directory, the
  // status and the bar, each right under the one above.
  ProgressPage& progress = *d.progressPage;
  expect_box(progress.heading, 10, 10, -1, -1, "progress heading");
  GtkWidget* const stack[] = {progress.heading, progress.targetLabel, progress.label, progress.progressBar,
                              progress.fileLabel};
  for (size_t i = 1; i < G_N_ELEMENTS(stack); ++i) {
    const GtkAllocation above = allocation(stack[i - 1]), below = allocation(stack[i]);
    EXPECT_GE(below.y, above.y + above.height) << i;
    EXPECT_LE(below.y, above.y + above.height + 24) << i;
    EXPECT_EQ(below.x, 10) << i;
  }
  EXPECT_EQ(allocation(progress.progressBar).width, 480);
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(progress.targetLabel)),
            text("IDS_TEMPLATE_CATALOG") + " " + world_.defaultTarget());
  expect_box(d.successPage->checkBox, 170, 170, -1, -1, "check box");
  expect_box(d.successPage->label, 170, 10, 320, 250, "success text");
}

// Alt and a letter of the label, in the language shown: Next, Back, and
// the field that "Template directory:" names.
TEST_F(InstallerDlgTest, AccessKeysMoveThroughTheWizardInItsLanguage) {
  writeKit(1);
  for (const auto& language : {std::make_pair(LANG_EN, std::array<guint, 3>{GDK_n, GDK_b, GDK_t}),
                               std::make_pair(LANG_RU, std::array<guint, 3>{GDK_Cyrillic_de, GDK_Cyrillic_en,
                                                                            GDK_Cyrillic_ka})}) {
    set_resource_lang(language.first);
    std::unique_ptr<TestWizard> dialog = makeDialog(false, language.first == LANG_EN ? u"en" : u"ru");
    TestWizard& d = *dialog;
    ASSERT_TRUE(d.OnInitDialog());
    d.showMainWindow();
    d.showWelcomePage();
    uitest::flush_events();
    const guint next = language.second[0], back = language.second[1], field = language.second[2];
    // A button that its key pressed holds the keyboard until the key is
    // let go, and acts then.
    // A letter the test display's keyboard lacks (Cyrillic) goes to the
    // window's access keys directly.
    auto press = [&](guint key, int state) {
      GdkKeymapKey* keys = nullptr;
      gint count = 0;
      if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), key, &keys, &count))
        send_key(d.mainWindow, key, GDK_MOD1_MASK);
      else
        gtk_window_mnemonic_activate(GTK_WINDOW(d.mainWindow), key, GDK_MOD1_MASK);
      g_free(keys);
      GtkWidget* pressed = gtk_grab_get_current();
      if (GTK_IS_BUTTON(pressed)) send_key(pressed, key, GDK_MOD1_MASK, GDK_KEY_RELEASE);
      run_until([&] { return d.currentState() == state; });
      return d.currentState();
    };
    EXPECT_EQ(press(next, kStateDirectory), kStateDirectory);
    EXPECT_EQ(press(back, kStateWelcome), kStateWelcome);
    ASSERT_EQ(press(next, kStateDirectory), kStateDirectory);
    // The field's label hands its key to the field.
    gtk_widget_grab_focus(d.buttonCancel);
    EXPECT_TRUE(gtk_window_mnemonic_activate(GTK_WINDOW(d.mainWindow), field, GDK_MOD1_MASK));
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(d.mainWindow)), d.dirSelectPage->entry);
    // A letter alone is typed, not taken as a key.
    send_key(d.mainWindow, next);
    EXPECT_EQ(d.currentState(), kStateDirectory);
  }
  set_resource_lang(LANG_EN);
}

TEST_F(InstallerDlgTest, InteractiveFlowWalksTheStateTable) {
  writeKit(3);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  const std::string back = text("IDS_WIZARD_BACK"), next = text("IDS_WIZARD_NEXT"),
                    cancel = text("IDS_WIZARD_CANCEL"), finish = text("IDS_WIZARD_FINISH");

  // 1: welcome.
  EXPECT_EQ(d.currentState(), kStateWelcome);
  EXPECT_EQ(d.currentPage(), d.welcomePage);
  EXPECT_TRUE(page_visible(d.welcomePage));
  expectButtons(d, {back, false, true}, {next, true, true}, {cancel, true, true});
  gtk_button_clicked(GTK_BUTTON(d.buttonPrev));  // does nothing here
  EXPECT_EQ(d.currentState(), kStateWelcome);

  // 1 -> 2 -> 1 -> 2: the entry gets the proposal back each time.
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_EQ(d.currentState(), kStateDirectory);
  EXPECT_EQ(d.currentPage(), d.dirSelectPage);
  EXPECT_TRUE(page_hidden(d.welcomePage));
  expectButtons(d, {back, true, true}, {next, true, true}, {cancel, true, true});
  EXPECT_EQ(narrow_lib(d.dirSelectPage->getPath()), world_.defaultTarget());
  d.dirSelectPage->setPath(std::string("/typed/but/not/confirmed"));
  gtk_button_clicked(GTK_BUTTON(d.buttonPrev));
  EXPECT_EQ(d.currentState(), kStateWelcome);
  EXPECT_TRUE(page_hidden(d.dirSelectPage));
  expectButtons(d, {back, false, true}, {next, true, true}, {cancel, true, true});
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_EQ(narrow_lib(d.dirSelectPage->getPath()), world_.defaultTarget());

  // 2: an empty path is refused with a plain box.
  d.dirSelectPage->setPath(std::string());
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_EQ(d.currentState(), kStateDirectory);
  ASSERT_EQ(boxes.asked.size(), 1u);
  EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_SETUP_EMPTYTARGET"));
  EXPECT_EQ(boxes.asked[0].flags, 1u);

  // 2: Cancel and Escape answered No change nothing.
  gtk_button_clicked(GTK_BUTTON(d.buttonCancel));
  send_key(d.mainWindow, GDK_Escape);
  send_key(d.mainWindow, GDK_Return);  // other keys are not taken
  ASSERT_EQ(boxes.asked.size(), 3u);
  EXPECT_EQ(narrow_lib(boxes.asked[1].text), text("IDS_ACCEPT_CANCEL"));
  EXPECT_EQ(boxes.asked[1].flags, kQuestionFlags);
  EXPECT_EQ(boxes.asked[2].flags, kQuestionFlags);
  EXPECT_EQ(d.currentState(), kStateDirectory);
  ASSERT_NE(d.mainWindow, nullptr);

  // 2 -> 3 -> 4: a path typed with backslashes is used with slashes.
  const std::string target = world_.root + "/chosen";
  std::string typed = target + "\\sub\\";
  d.dirSelectPage->setPath(typed);
  FileSystem::SetFaultHook(&slow_hook, nullptr);
  std::vector<ButtonState> during;
  Repeating probe([&] {
    if (d.currentState() != kStateProgress) return true;
    during = {button(d.buttonPrev), button(d.buttonNext), button(d.buttonCancel)};
    EXPECT_EQ(d.currentPage(), d.progressPage);
    gtk_button_clicked(GTK_BUTTON(d.buttonPrev));  // nothing in state 3
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    return false;
  });
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  ASSERT_EQ(during.size(), 3u);
  EXPECT_EQ(during[0], (ButtonState{back, false, true}));
  EXPECT_EQ(during[1], (ButtonState{next, false, true}));
  EXPECT_EQ(during[2], (ButtonState{cancel, true, true}));
  EXPECT_EQ(d.installation.targetDirectory(), widen_lib(target + "/sub/"));
  EXPECT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(d.currentPage(), d.successPage);
  EXPECT_TRUE(page_hidden(d.progressPage));
  EXPECT_TRUE(page_visible(d.successPage));
  EXPECT_EQ(d.exitCode(), kExitSuccess);
  expectButtons(d, {back, false, false}, {finish, true, true}, {cancel, false, true});
  EXPECT_TRUE(gtk_widget_has_default(d.buttonNext));
  EXPECT_EQ(uitest::readFile(target + "/sub/docs/a2.txt"), "file 2");
  // The directory goes first into the launcher's list, without its last "/".
  std::list<std::u16string> recorded;
  get_tmplts_list(recorded, true, false);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(narrow_lib(recorded.front()), target + "/sub");
  EXPECT_EQ(boxes.asked.size(), 3u);

  // 4: Finish opens the description document, as one argument, and closes.
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_EQ(d.mainWindow, nullptr);
  ASSERT_EQ(g_launched.size(), 1u);
  EXPECT_EQ(g_launched[0], (std::vector<std::string>{"xdg-open", target + "/sub/readme.html"}));
}

TEST_F(InstallerDlgTest, CancelOnTheProgressPageRollsBackAndEndsOnTheCancelPage) {
  writeKit(40);
  BoxRecorder boxes;
  boxes.answers = {kMessageBoxResultNo, kMessageBoxResultYes};
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  FileSystem::SetFaultHook(&slow_hook, nullptr);
  int clicks = 0;
  Repeating clicker([&] {
    if (d.currentState() != kStateProgress) return true;
    gtk_button_clicked(GTK_BUTTON(d.buttonCancel));  // first No, then Yes
    if (++clicks == 1) {
      EXPECT_TRUE(gtk_widget_get_sensitive(d.buttonCancel));
      return true;
    }
    EXPECT_FALSE(gtk_widget_get_sensitive(d.buttonCancel));
    return false;
  });
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(d.currentState(), kStateCancelled);
  EXPECT_EQ(d.currentPage(), d.cancelPage);
  EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(d.cancelPage->label))),
            text("IDS_CANCEL_FINISH"));
  expectButtons(d, {text("IDS_WIZARD_BACK"), false, false},
                {text("IDS_WIZARD_FINISH"), true, true},
                {text("IDS_WIZARD_CANCEL"), false, true});
  EXPECT_EQ(d.exitCode(), kExitCancelled);
  ASSERT_EQ(boxes.asked.size(), 2u);
  EXPECT_EQ(narrow_lib(boxes.asked[1].text), text("IDS_ACCEPT_CANCEL"));
  // Rolled back: nothing of the kit stays, and the list is not touched.
  EXPECT_FALSE(uitest::exists(world_.defaultTarget() + "docs/a0.txt"));
  EXPECT_FALSE(uitest::exists(world_.configPath()));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_EQ(d.mainWindow, nullptr);
  EXPECT_TRUE(g_launched.empty());
}

TEST_F(InstallerDlgTest, FailedRunShowsTheErrorAndTheErrorPageAfterTheRollback) {
  writeKit(5);
  ASSERT_EQ(system(("mkdir -p '" + world_.defaultTarget() + "docs'").c_str()), 0);
  ASSERT_TRUE(config::writeFileBytes(world_.defaultTarget() + "docs/a0.txt", "older"));
  ASSERT_EQ(system(("touch -d 2001-01-01 '" + world_.defaultTarget() + "docs/a0.txt'").c_str()), 0);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  g_fileTimes = 0;
  FileSystem::SetFaultHook(&failing_hook, nullptr);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  ASSERT_EQ(boxes.asked.size(), 1u);
  // The box names the file that could not be written.
  const std::string boxText = narrow_lib(boxes.asked[0].text);
  EXPECT_EQ(0u, boxText.find(text("IDS_INSTALL_ERROR") + "\n")) << boxText;
  EXPECT_NE(std::string::npos, boxText.find("docs/a0.txt\n")) << boxText;
  EXPECT_EQ(boxes.asked[0].flags, kErrorFlags);
  EXPECT_EQ(d.currentState(), kStateError);
  EXPECT_EQ(d.currentPage(), d.errorPage);
  // The page, too, says which file and why.
  EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(d.errorPage->label))),
            text("IDS_ERROR_FINISH") + "\n\n" + boxText.substr(boxText.find('\n') + 1));
  EXPECT_NE(std::string::npos, boxText.find("docs/a0.txt\n")) << boxText;
  // Back is offered: the run was rolled back and another folder may do.
  expectButtons(d, {text("IDS_WIZARD_BACK"), true, true},
                {text("IDS_WIZARD_FINISH"), true, true},
                {text("IDS_WIZARD_CANCEL"), false, true});
  EXPECT_EQ(d.exitCode(), kExitInstallFailed);
  // The rollback has ended before the page: the old file is back.
  EXPECT_EQ(uitest::readFile(world_.defaultTarget() + "docs/a0.txt"), "older");
  EXPECT_FALSE(uitest::exists(world_.defaultTarget() + "docs/a1.txt"));
  EXPECT_FALSE(uitest::exists(world_.configPath()));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));  // Finish opens nothing here
  EXPECT_EQ(d.mainWindow, nullptr);
  EXPECT_TRUE(g_launched.empty());
}

TEST_F(InstallerDlgTest, EscapeAndClosingDuringTheRunAskAndEndOnTheCancelledPage) {
  writeKit(40);
  for (bool byEscape : {true, false}) {
    SCOPED_TRACE(byEscape ? "Escape" : "close");
    BoxRecorder boxes;
    boxes.answers = {kMessageBoxResultYes};
    std::unique_ptr<TestWizard> dialog = openWizard();
    TestWizard& d = *dialog;
    FileSystem::SetFaultHook(&slow_hook, nullptr);
    Repeating closer([&] {
      if (d.currentState() != kStateProgress) return true;
      if (byEscape)
        send_key(d.mainWindow, GDK_Escape);
      else
        send_delete(d.mainWindow);
      return false;
    });
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    FileSystem::SetFaultHook(nullptr, nullptr);
    // As Cancel does: the question, the rollback, the cancelled page.
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_ACCEPT_CANCEL"));
    ASSERT_NE(d.mainWindow, nullptr);
    EXPECT_EQ(d.currentState(), kStateCancelled);
    EXPECT_EQ(d.exitCode(), kExitCancelled);
    EXPECT_FALSE(uitest::exists(world_.defaultTarget() + "docs/a0.txt"));
    // Nothing is left to cancel: closing now asks nothing.
    send_delete(d.mainWindow);
    EXPECT_EQ(d.mainWindow, nullptr);
    EXPECT_EQ(boxes.asked.size(), 1u);
  }
}

TEST_F(InstallerDlgTest, LeavingBeforeOrAfterTheRun) {
  writeKit(2);
  {
    // Cancel on the welcome page, Yes: the window goes, exit "cancelled".
    BoxRecorder boxes;
    boxes.answers = {kMessageBoxResultYes};
    std::unique_ptr<TestWizard> dialog = openWizard();
    gtk_button_clicked(GTK_BUTTON(dialog->buttonCancel));
    EXPECT_EQ(dialog->mainWindow, nullptr);
    EXPECT_EQ(dialog->exitCode(), kExitCancelled);
  }
  {
    // Closing the window on the directory page asks as Cancel does: No
    // keeps the wizard, Yes ends it as cancelled.
    BoxRecorder boxes;
    boxes.answers = {kMessageBoxResultNo, kMessageBoxResultYes};
    std::unique_ptr<TestWizard> dialog = openWizard();
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    send_delete(dialog->mainWindow);
    ASSERT_NE(dialog->mainWindow, nullptr);
    EXPECT_EQ(dialog->currentState(), kStateDirectory);
    send_delete(dialog->mainWindow);
    EXPECT_EQ(dialog->mainWindow, nullptr);
    EXPECT_EQ(boxes.asked.size(), 2u);
    EXPECT_EQ(dialog->exitCode(), kExitCancelled);
  }
  {
    // Escape on the success page: nothing is left to cancel, so nothing is
    // asked; the window closes without opening anything.
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = openWizard();
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    ASSERT_EQ(dialog->currentState(), kStateSuccess);
    send_key(dialog->mainWindow, GDK_Escape);
    EXPECT_EQ(dialog->mainWindow, nullptr);
    EXPECT_TRUE(boxes.asked.empty());
    EXPECT_EQ(dialog->exitCode(), kExitSuccess);
    EXPECT_TRUE(g_launched.empty());
    EXPECT_TRUE(uitest::exists(world_.defaultTarget() + "docs/a1.txt"));
  }
}

TEST_F(InstallerDlgTest, DoModalRunsTheMainLoopAndReturnsTheOutcome) {
  writeKit(2);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = makeDialog();
  TestWizard& d = *dialog;
  // Next, Next, clear the check box, Finish: all from the main loop.
  Repeating driver([&] {
    if (d.currentState() == kStateWelcome || d.currentState() == kStateDirectory) {
      gtk_button_clicked(GTK_BUTTON(d.buttonNext));
      return true;
    }
    if (d.currentState() != kStateSuccess) return true;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(d.successPage->checkBox), FALSE);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    return false;
  });
  EXPECT_EQ(d.DoModal(), kExitSuccess);
  EXPECT_EQ(d.mainWindow, nullptr);
  EXPECT_TRUE(g_launched.empty());  // the check box was off
  EXPECT_TRUE(boxes.asked.empty());
  // The unpacked kit lives as long as the dialog, and no longer; a small
  // one is kept in memory, and a streamed one is not unpacked at all:
  // neither needs a temporary file.
  const auto& kit = d.installation.kit();
  EXPECT_EQ(world_.tmpEntries(), kit.inMemory() || kit.streamed() ? 0 : 1);
  dialog.reset();
  EXPECT_EQ(world_.tmpEntries(), 0);
}

TEST_F(InstallerDlgTest, SilentModeInstallsAtOnceAndReturns) {
  writeKit(3);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = makeDialog(true);
  TestWizard& d = *dialog;
  // Under a display its boxes wait for the user, as every box does.
  EXPECT_EQ(message_box_mode(), MessageBoxMode::Interactive);
  bool sawWelcome = false;
  Repeating probe([&] {
    if (d.currentState() != kStateProgress) return true;
    // The welcome page had Cancel only.
    EXPECT_FALSE(gtk_widget_get_visible(d.buttonPrev));
    EXPECT_FALSE(gtk_widget_get_visible(d.buttonNext));
    EXPECT_TRUE(gtk_widget_get_visible(d.buttonCancel));
    sawWelcome = d.welcomePage != nullptr;
    return false;
  });
  EXPECT_EQ(d.DoModal(), kExitSuccess);
  EXPECT_TRUE(sawWelcome);
  EXPECT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(d.dirSelectPage, nullptr);
  EXPECT_EQ(d.mainWindow, nullptr);
  EXPECT_EQ(uitest::readFile(world_.defaultTarget() + "docs/a0.txt"), "file 0");
  std::list<std::u16string> recorded;
  get_tmplts_list(recorded, true, false);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(narrow_lib(recorded.front()) + "/", world_.defaultTarget());
  EXPECT_TRUE(g_launched.empty());
  EXPECT_TRUE(boxes.asked.empty());
}

TEST_F(InstallerDlgTest, LauncherFileThatCannotBeWrittenEndsWithStatusFourAndAWarning) {
  writeKit(2);
  for (bool silent : {true, false}) {
    SCOPED_TRACE(silent ? "silent" : "interactive");
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = silent ? makeDialog(true) : openWizard();
    TestWizard& d = *dialog;
    // Every operation on the launcher's folder fails, as on a full disk.
    FileFaultInjector fault(1, ERROR_CANTWRITE);
    fault.below(widen_lib(world_.home + "/.Ovan")).persistent();
    if (silent) {
      EXPECT_EQ(d.DoModal(), kExitLauncherNotUpdated);
    } else {
      gtk_button_clicked(GTK_BUTTON(d.buttonNext));  // to the directory page
      installFromDirectoryPage(d);                   // and the run
      EXPECT_EQ(d.exitCode(), kExitLauncherNotUpdated);
      EXPECT_EQ(d.currentState(), kStateSuccess);  // the templates are there
    }
    EXPECT_TRUE(fault.fired());
    EXPECT_EQ(uitest::readFile(world_.defaultTarget() + "docs/a1.txt"), "file 1");
    ASSERT_EQ(boxes.asked.size(), 1u);
    // A warning that names the file and why it could not take the folder;
    // the success page still says so once the box is gone.
    EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_WARN_LAUNCHERFILE") + "\n\n" +
                                                   world_.configPath() + "\n" +
                                                   narrow_lib(failure_reason(ERROR_CANTWRITE)));
    EXPECT_EQ(boxes.asked[0].flags, kMessageBoxWarning | kMessageBoxOk);
    if (!silent) {
      const std::string page = gtk_label_get_text(GTK_LABEL(d.successPage->label));
      EXPECT_NE(page.find(text("IDS_SUCCESS_LAUNCHERNOTE")), std::string::npos) << page;
    }
    EXPECT_EQ(access(world_.configPath().c_str(), F_OK), -1);
  }
}

TEST_F(InstallerDlgTest, TargetDirectoryIsProposedAndInstalledInto) {
  writeKit(1);
  const std::string given = world_.root + "/given/";
  {
    std::unique_ptr<TestWizard> dialog = makeDialog(false, u"en", widen_lib(given));
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    ASSERT_NE(dialog->dirSelectPage, nullptr);
    EXPECT_EQ(narrow_lib(dialog->dirSelectPage->getPath()), given);
  }
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = makeDialog(true, u"en", widen_lib(given));
  EXPECT_EQ(dialog->DoModal(), kExitSuccess);
  EXPECT_EQ(uitest::readFile(given + "docs/a0.txt"), "file 0");
  std::list<std::u16string> recorded;
  get_tmplts_list(recorded, true, false);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(narrow_lib(recorded.front()) + "/", given);
}

TEST_F(InstallerDlgTest, FinishOpensOnlyADocumentInsideTheTemplateDirectory) {
  struct Case {
    const char* name;
    std::u16string lang;
    std::vector<config::KitDescription> descriptions;
    bool uncheck;
    std::string expected;  // relative to the target; empty: nothing opened
  };
  const std::vector<Case> cases = {
      {"German falls back to English", u"de",
       {{u"en", u"P", u"V", u"readme.html"}, {u"ru", u"П", u"В", u"docs\\a0.txt"}}, false,
       "readme.html"},
      {"own language first", u"RU",
       {{u"en", u"P", u"V", u"readme.html"}, {u"ru", u"П", u"В", u"docs\\a0.txt"}}, false,
       "docs/a0.txt"},
      {"no English: the first description, as the welcome page", u"vi",
       {{u"de", u"P", u"V", u"docs\\a0.txt"}, {u"ru", u"П", u"В", u"readme.html"}}, false,
       "docs/a0.txt"},
      {"empty own path falls back", u"ru",
       {{u"ru", u"П", u"В", u""}, {u"en", u"P", u"V", u"readme.html"}}, false, "readme.html"},
      {"check box off", u"en", {{u"en", u"P", u"V", u"readme.html"}}, true, ""},
      {"missing document", u"en", {{u"en", u"P", u"V", u"nothere.html"}}, false, ""},
      {"outside the directory", u"en", {{u"en", u"P", u"V", u"..\\..\\outside.html"}}, false,
       ""},
  };
  ASSERT_TRUE(config::writeFileBytes(world_.home + "/.ovn8/Ovan/outside.html", "x") ||
              system(("mkdir -p '" + world_.home + "/.ovn8/Ovan' && touch '" + world_.home +
                      "/.ovn8/Ovan/outside.html'").c_str()) == 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeKit(1, c.descriptions);
    g_launched.clear();
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = makeDialog(false, c.lang);
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    installFromDirectoryPage(*dialog);
    ASSERT_EQ(dialog->currentState(), kStateSuccess);
    if (c.uncheck)
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(dialog->successPage->checkBox), FALSE);
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    EXPECT_EQ(dialog->mainWindow, nullptr);
    if (c.expected.empty()) {
      EXPECT_TRUE(g_launched.empty());
    } else {
      ASSERT_EQ(g_launched.size(), 1u);
      EXPECT_EQ(g_launched[0][1], world_.defaultTarget() + c.expected);
    }
  }
}

TEST_F(InstallerDlgTest, WelcomeNamesComeFromTheBestDescriptionElsePlaceholders) {
  struct Case {
    std::u16string lang;
    std::string expected;  // product (vendor)
  };
  // A kit that describes the product in German and Russian only.
  writeKit(1, {{u"de", u"Produkt", u"Anbieter", u"readme.html"},
               {u"ru", u"Продукт", u"Поставщик", u"readme.html"}});
  for (const Case& c : std::vector<Case>{{u"RU", "Продукт (Поставщик)"},
                                         {u"de", "Produkt (Anbieter)"},
                                         {u"en", "Produkt (Anbieter)"},
                                         {u"kk", "Produkt (Anbieter)"}}) {
    SCOPED_TRACE(narrow_lib(c.lang));
    std::unique_ptr<TestWizard> dialog = makeDialog(false, c.lang);
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(dialog->welcomePage->label))),
              text("IDS_WELCOME_TITLE") + " " + c.expected + ".\n\n" + text("IDS_KIT_UNSIGNED"));
  }
  // With an English description, every other language greets in English.
  writeKit(1, {{u"ru", u"Продукт", u"Поставщик", u"readme.html"},
               {u"en", u"Product Name", u"Vendor Name", u"readme.html"}});
  {
    std::unique_ptr<TestWizard> dialog = makeDialog(false, u"tr");
    ASSERT_TRUE(dialog->OnInitDialog());
    EXPECT_EQ(dialog->installation.welcomeText(),
              LoadResString("IDS_WELCOME_TITLE") + u" Product Name (Vendor Name).");
  }
  // The placeholders only when the kit describes nothing, or leaves a name empty.
  for (const std::vector<config::KitDescription>& descriptions :
       {std::vector<config::KitDescription>{}, {{u"en", u"", u"", u"readme.html"}}}) {
    config::KitSpec spec;
    spec.descriptions = descriptions;
    spec.files.emplace_back(u"readme.html", "<html/>", uitest::time_of(1600000000));
    ASSERT_TRUE(config::writeKit(world_.kitPath(), spec));
    std::unique_ptr<TestWizard> dialog = makeDialog(false, u"de");
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(dialog->welcomePage->label))),
              text("IDS_WELCOME_TITLE") + " " + text("IDS_DEFPRODUCT") + " (" +
                  text("IDS_DEFPROVIDER") + ").\n\n" + text("IDS_KIT_UNSIGNED"));
  }
}

// Who signed the kit, under the welcome text, in the interface language;
// a key the machine does not trust is named by its id.
TEST_F(InstallerDlgTest, WelcomePageSaysWhoSignedTheKit) {
  if (!gpgtest::gpgAvailable()) GTEST_SKIP() << "gpg and gpgv are not installed";
  writeKit(1);
  gpgtest::SigningKey vendor(world_.root, "Example Vendor <kits@example.com>");
  gpgtest::SigningKey stranger(world_.root, "Stranger <s@example.org>");
  ASSERT_TRUE(vendor.ready() && stranger.ready());
  ASSERT_TRUE(vendor.sign(world_.kitPath()));
  for (const char16_t* language : {u"en", u"de"}) {
    set_resource_lang(get_lang_id_by_lang_code(narrow_lib(language)));
    SessionSettings settings = uitest::test_settings(false, language);
    settings.signature.keyrings = {widen_lib(vendor.keyring())};
    TestWizard dialog(settings, "Setup Title");
    ASSERT_TRUE(dialog.OnInitDialog());
    dialog.showMainWindow();
    dialog.showWelcomePage();
    uitest::flush_events();
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(dialog.welcomePage->label))),
              narrow_lib(dialog.installation.welcomeText() + u"\n\n" +
                         FormatResString("IDS_KIT_SIGNEDBY", {u"Example Vendor <kits@example.com>"})));
  }
  set_resource_lang(LANG_EN);
  SessionSettings settings = uitest::test_settings(false, u"en");
  settings.signature.keyrings = {widen_lib(stranger.keyring())};
  TestWizard dialog(settings, "Setup Title");
  ASSERT_TRUE(dialog.OnInitDialog());
  dialog.showMainWindow();
  dialog.showWelcomePage();
  const std::string label = gtk_label_get_text(GTK_LABEL(dialog.welcomePage->label));
  const std::string unknown = narrow_lib(FormatResString("IDS_KIT_SIGNER_UNKNOWN", {u""}));
  EXPECT_NE(std::string::npos, label.find(unknown + dialog.installation.signature().keyId)) << label;
  EXPECT_EQ(16u, dialog.installation.signature().keyId.size());
}

TEST_F(InstallerDlgTest, FocusFollowsThePagesAndEnterInThePathFieldIsNext) {
  writeKit();
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  GtkWindow* window = GTK_WINDOW(d.mainWindow);
  EXPECT_EQ(gtk_window_get_focus(window), d.buttonNext) << "welcome";

  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  uitest::flush_events();
  EXPECT_EQ(gtk_window_get_focus(window), d.dirSelectPage->entry) << "directory";

  // Cancel, answered No: back to the field, so Enter does not ask again.
  gtk_widget_grab_focus(d.buttonCancel);
  gtk_button_clicked(GTK_BUTTON(d.buttonCancel));
  ASSERT_EQ(boxes.asked.size(), 1u);
  EXPECT_EQ(gtk_window_get_focus(window), d.dirSelectPage->entry);
  // Escape with the focus on Back, answered No: it stays on Back.
  gtk_widget_grab_focus(d.buttonPrev);
  send_key(d.mainWindow, GDK_Escape);
  ASSERT_EQ(boxes.asked.size(), 2u);
  EXPECT_EQ(gtk_window_get_focus(window), d.buttonPrev);

  // Enter in an empty field: the box, then the field again.
  d.dirSelectPage->setPath(std::string());
  gtk_widget_grab_focus(d.dirSelectPage->entry);
  send_key(d.mainWindow, GDK_Return);
  run_until([&] { return boxes.asked.size() == 3; });
  ASSERT_EQ(boxes.asked.size(), 3u);
  EXPECT_EQ(narrow_lib(boxes.asked[2].text), text("IDS_SETUP_EMPTYTARGET"));
  EXPECT_EQ(d.currentState(), kStateDirectory);
  EXPECT_EQ(gtk_window_get_focus(window), d.dirSelectPage->entry);

  // Enter in the filled field installs, and Finish has the focus.
  d.dirSelectPage->setPath(world_.defaultTarget());
  send_key(d.mainWindow, GDK_Return);
  run_until([&] { return d.currentState() == kStateSuccess; });
  ASSERT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(gtk_window_get_focus(window), d.buttonNext);
  EXPECT_EQ(button(d.buttonNext).label, text("IDS_WIZARD_FINISH"));
}

TEST_F(InstallerDlgTest, ScreenReadersHearWhatTheFieldTheButtonAndTheBarAre) {
  writeKit();
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  DirSelectPage* dir = d.dirSelectPage;
  AtkObject* entry = gtk_widget_get_accessible(dir->entry);
  AtkObject* label = gtk_widget_get_accessible(dir->catalogLabel);
  EXPECT_EQ(std::string(atk_object_get_name(entry)), text("IDS_TEMPLATE_CATALOG"));
  AtkRelationSet* relations = atk_object_ref_relation_set(entry);
  AtkRelation* labelledBy = atk_relation_set_get_relation_by_type(relations, ATK_RELATION_LABELLED_BY);
  ASSERT_NE(labelledBy, nullptr);
  GPtrArray* targets = atk_relation_get_target(labelledBy);
  ASSERT_EQ(targets->len, 1u);
  EXPECT_EQ(g_ptr_array_index(targets, 0), label);
  g_object_unref(relations);
  relations = atk_object_ref_relation_set(label);
  EXPECT_TRUE(atk_relation_set_contains(relations, ATK_RELATION_LABEL_FOR));
  g_object_unref(relations);
  EXPECT_EQ(gtk_label_get_mnemonic_widget(GTK_LABEL(dir->catalogLabel)), dir->entry);

  const std::string browse = text("IDS_BROWSE_TOOLTIP");
  EXPECT_EQ(std::string(atk_object_get_name(gtk_widget_get_accessible(dir->browseButton))), browse);
  gchar* tooltip = gtk_widget_get_tooltip_text(dir->browseButton);
  ASSERT_NE(tooltip, nullptr);
  EXPECT_EQ(std::string(tooltip), browse);
  g_free(tooltip);

  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  ProgressPage* progress = d.progressPage;
  AtkObject* bar = gtk_widget_get_accessible(progress->progressBar);
  EXPECT_EQ(std::string(atk_object_get_name(bar)), text("IDS_INSTALL_FINISH"));
  progress->setProgress(10);
  EXPECT_EQ(std::string(atk_object_get_name(bar)), text("IDS_PROGRESS_START"));
  relations = atk_object_ref_relation_set(bar);
  EXPECT_TRUE(atk_relation_set_contains(relations, ATK_RELATION_LABELLED_BY));
  g_object_unref(relations);
}

TEST_F(InstallerDlgTest, BackAfterARolledBackFailureTriesAnotherFolder) {
  writeKit(3);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  const std::string failed = world_.defaultTarget();
  g_fileTimes = 0;
  FileSystem::SetFaultHook(&failing_hook, nullptr);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  ASSERT_EQ(d.currentState(), kStateError);

  gtk_button_clicked(GTK_BUTTON(d.buttonPrev));
  ASSERT_EQ(d.currentState(), kStateDirectory);
  EXPECT_EQ(d.currentPage(), d.dirSelectPage);
  EXPECT_EQ(narrow_lib(d.dirSelectPage->getPath()), failed);
  expectButtons(d, {text("IDS_WIZARD_BACK"), true, true}, {text("IDS_WIZARD_NEXT"), true, true},
                {text("IDS_WIZARD_CANCEL"), true, true});
  EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(d.mainWindow)), d.dirSelectPage->entry);

  // The kit is still open: another folder installs.
  const std::string other = world_.root + "/other/";
  d.dirSelectPage->setPath(other);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(d.exitCode(), kExitSuccess);
  EXPECT_EQ(uitest::readFile(other + "docs/a2.txt"), "file 2");
  EXPECT_FALSE(uitest::exists(failed + "docs/a0.txt"));
  std::list<std::u16string> recorded;
  get_tmplts_list(recorded, true, false);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(narrow_lib(recorded.front()) + "/", other);
}

TEST_F(InstallerDlgTest, ABusyDirectoryIsRefusedAndTheDirectoryPageComesBack) {
  writeKit(2);
  const std::string busy = world_.root + "/busy/";
  ASSERT_TRUE(testkit::makeDirs(busy));
  TargetLock other;
  ASSERT_EQ(other.acquire(widen_lib(busy)), 0u);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  d.dirSelectPage->setPath(busy);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(boxes.asked.size(), 1u);
  EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_ERROR_TARGETBUSY"));
  EXPECT_EQ(boxes.asked[0].flags, kErrorFlags);
  // Nothing was written; the user may choose another folder or try again.
  ASSERT_NE(d.mainWindow, nullptr);
  EXPECT_EQ(d.currentState(), kStateDirectory);
  EXPECT_FALSE(uitest::exists(busy + "docs"));
  other.release();
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(uitest::readFile(busy + "docs/a1.txt"), "file 1");
}

TEST_F(InstallerDlgTest, DirectoryPageExpandsTheTildeAndRefusesWhatCannotBeTheDirectory) {
  writeKit(1);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateDirectory);

  // A file, and a file standing where a parent folder must be.
  ASSERT_TRUE(config::writeFileBytes(world_.root + "/afile", "x"));
  for (const std::string& path : {world_.root + "/afile", world_.root + "/afile/sub/"}) {
    SCOPED_TRACE(path);
    boxes.asked.clear();
    d.dirSelectPage->setPath(path);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    EXPECT_EQ(d.currentState(), kStateDirectory);
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_SETUP_TARGETNOTFOLDER") + "\n" + path);
    EXPECT_EQ(boxes.asked[0].flags, kErrorFlags);
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(d.mainWindow)), d.dirSelectPage->entry);
  }
  // A folder the file layer says may not be written.
  struct Deny {
    static uint32_t access(FileOp op, const std::u16string&, void*) {
      return op == FileOp::CheckAccess ? uint32_t(ERROR_INVALID_PARAMETER) : 0u;
    }
  };
  boxes.asked.clear();
  d.dirSelectPage->setPath(world_.root + "/locked/");
  FileSystem::SetFaultHook(&Deny::access, nullptr);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(d.currentState(), kStateDirectory);
  ASSERT_EQ(boxes.asked.size(), 1u);
  // With the reason the file layer gave.
  EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_SETUP_TARGETNOTWRITABLE") + "\n" + world_.root +
                                                 "/locked/\n" +
                                                 narrow_lib(failure_reason(ERROR_INVALID_PARAMETER)));

  // "~/tpl" goes into the home directory, and the field shows where.
  boxes.asked.clear();
  d.dirSelectPage->setPath(std::string("~/tpl"));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  EXPECT_TRUE(boxes.asked.empty());
  EXPECT_EQ(narrow_lib(d.installation.targetDirectory()), world_.home + "/tpl");
  EXPECT_EQ(narrow_lib(d.dirSelectPage->getPath()), world_.home + "/tpl");
  EXPECT_EQ(uitest::readFile(world_.home + "/tpl/docs/a0.txt"), "file 0");
  EXPECT_FALSE(uitest::exists(world_.kitDir + "/~"));
}

TEST_F(InstallerDlgTest, RelativeDirectoryIsTakenAgainstTheCurrentDirectory) {
  writeKit(1);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  d.dirSelectPage->setPath(std::string("rel/tpl/"));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  // The scratch world works in the kit's folder.
  EXPECT_EQ(narrow_lib(d.installation.targetDirectory()), world_.kitDir + "/rel/tpl/");
  EXPECT_EQ(uitest::readFile(world_.kitDir + "/rel/tpl/docs/a0.txt"), "file 0");
  std::list<std::u16string> recorded;
  get_tmplts_list(recorded, true, false);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(narrow_lib(recorded.front()), world_.kitDir + "/rel/tpl");
}

TEST_F(InstallerDlgTest, OpenDescriptionIsOfferedOnlyWhenTheDocumentIsThere) {
  for (const std::u16string document : {u"readme.html", u"missing.html", u""}) {
    SCOPED_TRACE(narrow_lib(document));
    writeKit(1, {{u"en", u"P", u"V", document}});
    BoxRecorder boxes;
    std::unique_ptr<TestWizard> dialog = openWizard();
    TestWizard& d = *dialog;
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    ASSERT_EQ(d.currentState(), kStateSuccess);
    const bool there = document == u"readme.html";
    EXPECT_EQ(gtk_widget_get_visible(d.successPage->checkBox) != FALSE, there);
    EXPECT_EQ(d.successPage->isShowReadmeChecked(), there);
    g_launched.clear();
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    EXPECT_EQ(g_launched.size(), there ? 1u : 0u);
  }
}

// Slows every file step of the run and of its rollback below docs/.
uint32_t slow_everywhere_hook(FileOp op, const std::u16string& path, void*) {
  if (in_docs(path) &&
      (op == FileOp::CreateFile || op == FileOp::DeleteFile || op == FileOp::MoveFile))
    g_usleep(4000);
  return 0;
}

// Fails putting docs/a30.txt in its place over an older copy (the rename of
// its temporary), late enough for a rollback with work: the 30 files before
// it are in place by then, since a kit's files are placed only once all of
// it was read.
uint32_t late_failing_hook(FileOp op, const std::u16string& path, void* context) {
  slow_everywhere_hook(op, path, context);
  if (op == FileOp::MoveFileEx && path.find(u"/docs/.") != std::u16string::npos &&
      ++g_fileTimes == 31)
    return errorFromErrNo(EROFS);
  return 0;
}

std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }

TEST_F(InstallerDlgTest, ProgressPageNamesTheFileAndTheCountAndTheRollbackCountsDown) {
  writeKit(40);
  // An earlier version: each file is replaced, and each original comes back.
  const std::string docs = world_.defaultTarget() + "docs";
  ASSERT_TRUE(testkit::makeDirs(docs));
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(testkit::writeFile(docs + "/a" + std::to_string(i) + ".txt", "older"));
  ASSERT_EQ(system(("touch -d @1500000000 '" + docs + "'/*").c_str()), 0);
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  g_fileTimes = 0;
  FileSystem::SetFaultHook(&late_failing_hook, nullptr);
  std::vector<std::string> files, counts;
  std::vector<double> restoring;
  bool restoringNamed = false;
  Repeating probe([&] {
    if (d.currentState() != kStateProgress || !d.progressPage) return true;
    const std::string status = label_text(d.progressPage->label);
    const double fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(d.progressPage->progressBar));
    if (status == text("IDS_PROGRESS_ROLLBACK")) {
      restoring.push_back(fraction);
      // No file under the bar while restoring; the bar is named by the text.
      EXPECT_EQ(label_text(d.progressPage->fileLabel), "");
      restoringNamed = restoringNamed || atk_object_get_name(gtk_widget_get_accessible(
                                             d.progressPage->progressBar)) == text("IDS_PROGRESS_ROLLBACK");
      // Nothing is left to cancel: Cancel is off, and Escape asks nothing.
      EXPECT_FALSE(gtk_widget_is_sensitive(d.buttonCancel));
      send_key(d.mainWindow, GDK_Escape);
    } else if (!label_text(d.progressPage->fileLabel).empty()) {
      files.push_back(label_text(d.progressPage->fileLabel));
      counts.push_back(label_text(d.progressPage->countLabel));
    }
    return true;
  });
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  ASSERT_FALSE(files.empty());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    // The kit's last entry, after the forty documents.
    if (files[i] == "readme.html") {
      EXPECT_EQ(counts[i], "41 of 41");
      continue;
    }
    // "docs/a7.txt" with "8 of 41": the entry's name and its place in the kit.
    ASSERT_EQ(0u, files[i].find("docs/a"));
    const int index = std::stoi(files[i].substr(6));
    EXPECT_EQ(counts[i], std::to_string(index + 1) + " of 41");
  }
  // The rollback was seen, and its bar only went down.
  ASSERT_FALSE(restoring.empty());
  EXPECT_TRUE(restoringNamed);
  for (size_t i = 1; i < restoring.size(); ++i) EXPECT_LE(restoring[i], restoring[i - 1]);
  EXPECT_LT(restoring.back(), 1.0);
  // The box names the file and the reason.
  ASSERT_EQ(boxes.asked.size(), 1u);
  EXPECT_EQ(narrow_lib(boxes.asked[0].text),
            text("IDS_INSTALL_ERROR") + "\ndocs/a30.txt\n" + text("IDS_REASON_READONLY"));
  EXPECT_EQ(d.currentState(), kStateError);
  EXPECT_EQ(testkit::readFile(docs + "/a0.txt"), "older");
  EXPECT_EQ(testkit::readFile(docs + "/a39.txt"), "older");
}

TEST_F(InstallerDlgTest, CancelQuestionPausesTheRunAndNoLetsItGoOn) {
  writeKit(40);
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  int asked = 0;
  int64_t entryWhenAsked = -1, entryWhenAnswered = -1;
  double barWhenAsked = -1;
  set_message_box_responder([&](const MessageBoxRequest& request) {
    EXPECT_TRUE(request.isQuestion());
    ++asked;
    RunReport report;
    // An entry begun before the question may still be reported.
    g_usleep(50000);
    d.installation.latestReport(report);
    entryWhenAsked = report.entry;
    // The worker would write several entries in this time.
    g_usleep(200000);
    // As in a box's own loop: the page's wake-up shows the report.
    for (int i = 0; i < 50; ++i) {
      while (gtk_events_pending()) gtk_main_iteration();
      g_usleep(2000);
    }
    d.installation.latestReport(report);
    entryWhenAnswered = report.entry;
    barWhenAsked = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(d.progressPage->progressBar));
    EXPECT_NEAR(barWhenAsked, report.progress / 100.0, 0.03);
    return int(kMessageBoxResultNo);
  });
  FileSystem::SetFaultHook(&slow_hook, nullptr);
  Repeating clicker([&] {
    if (d.currentState() != kStateProgress) return true;
    RunReport report;
    d.installation.latestReport(report);
    if (report.entry < 3) return true;
    gtk_button_clicked(GTK_BUTTON(d.buttonCancel));
    return false;
  });
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  set_message_box_responder(nullptr);
  EXPECT_EQ(asked, 1);
  EXPECT_GE(entryWhenAsked, 3);
  EXPECT_EQ(entryWhenAnswered, entryWhenAsked);
  // Answered No: the run went on to its end.
  EXPECT_EQ(d.currentState(), kStateSuccess);
  EXPECT_TRUE(uitest::exists(world_.defaultTarget() + "docs/a39.txt"));
}

TEST_F(InstallerDlgTest, SuccessPageNamesTheFolderAndCountsTheFiles) {
  writeKit(4);
  // One older copy is replaced, one newer file is kept.
  ASSERT_EQ(system(("mkdir -p '" + world_.defaultTarget() + "docs'").c_str()), 0);
  ASSERT_TRUE(config::writeFileBytes(world_.defaultTarget() + "docs/a0.txt", "older"));
  ASSERT_EQ(system(("touch -d 2001-01-01 '" + world_.defaultTarget() + "docs/a0.txt'").c_str()), 0);
  ASSERT_TRUE(config::writeFileBytes(world_.defaultTarget() + "docs/a1.txt", "newer"));
  ASSERT_EQ(system(("touch -d 2030-01-01 '" + world_.defaultTarget() + "docs/a1.txt'").c_str()), 0);
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  // The run has ended before the page changes: the full bar is seen first,
  // on the progress page, with Cancel no longer offered.
  int fullBarSightings = 0;
  Repeating watcher([&] {
    if (d.currentState() == kStateSuccess) return false;
    if (d.currentState() == kStateProgress && !d.installation.running() &&
        gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(d.progressPage->progressBar)) == 1.0 &&
        !gtk_widget_is_sensitive(d.buttonCancel))
      ++fullBarSightings;
    return true;
  });
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  EXPECT_GE(fullBarSightings, 3);
  EXPECT_EQ(label_text(d.successPage->label),
            text("IDS_SUCCESS_FINISH") + "\n\n" + text("IDS_TEMPLATE_CATALOG") + " " +
                narrow_lib(d.installation.targetDirectory()) + "\nFiles installed: 4\nOlder copies replaced: 1\n"
                "Newer existing files kept: 1");
  EXPECT_EQ(uitest::readFile(world_.defaultTarget() + "docs/a1.txt"), "newer");
  // The check box stays below the longer text, inside the window.
  GtkAllocation text, box;
  uitest::flush_events();
  gtk_widget_get_allocation(d.successPage->label, &text);
  gtk_widget_get_allocation(d.successPage->checkBox, &box);
  EXPECT_GE(box.y, text.y + label_text_height(d.successPage->label));
  EXPECT_LE(box.y + box.height, kWizardHeight);
}

TEST_F(InstallerDlgTest, SuccessSummaryLeavesOutCountsOfNothing) {
  writeKit(2);
  set_resource_lang(LANG_DE);
  std::unique_ptr<TestWizard> dialog = makeDialog(false, u"de");
  ASSERT_TRUE(dialog->OnInitDialog());
  dialog->showMainWindow();
  dialog->showWelcomePage();
  TestWizard& d = *dialog;
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(label_text(d.successPage->label),
            text("IDS_SUCCESS_FINISH") + "\n\n" + text("IDS_TEMPLATE_CATALOG") + " " +
                narrow_lib(d.installation.targetDirectory()) + "\nInstallierte Dateien: 3");
}

uint64_t g_freeBytes = 0;
std::vector<std::string> g_spaceAskedFor;
bool fixed_free_space(const std::u16string& folder, uint64_t& freeBytes) {
  g_spaceAskedFor.push_back(narrow_lib(folder));
  freeBytes = g_freeBytes;
  return true;
}

struct FreeSpaceGuard {
  explicit FreeSpaceGuard(uint64_t bytes) {
    g_freeBytes = bytes;
    g_spaceAskedFor.clear();
    set_free_space_probe(&fixed_free_space);
  }
  ~FreeSpaceGuard() { set_free_space_probe(nullptr); }
};

TEST_F(InstallerDlgTest, DirectoryPageSaysTheSpaceNeededAndFreeAndRefusesTooLittle) {
  writeKit(3);  // 6 + 6 + 6 + 19 bytes
  BoxRecorder boxes;
  std::unique_ptr<TestWizard> dialog = openWizard();
  TestWizard& d = *dialog;
  FreeSpaceGuard space(3u << 30);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  ASSERT_EQ(d.currentState(), kStateDirectory);
  EXPECT_EQ(label_text(d.dirSelectPage->spaceLabel), "Needed: 1 KB. Free: 3072 MB.");
  // Screen readers hear it as the field's description.
  EXPECT_STREQ(atk_object_get_description(gtk_widget_get_accessible(d.dirSelectPage->entry)),
               "Needed: 1 KB. Free: 3072 MB.");
  // Asked where the path lies: the nearest folder that is there.
  d.dirSelectPage->setPath(world_.root + "/not/yet/there");
  EXPECT_EQ(g_spaceAskedFor.back(), world_.root);
  // A field without a path says nothing.
  d.dirSelectPage->setPath(std::string(""));
  EXPECT_EQ(label_text(d.dirSelectPage->spaceLabel), "");

  g_freeBytes = 10;
  d.dirSelectPage->setPath(world_.root + "/small");
  EXPECT_EQ(label_text(d.dirSelectPage->spaceLabel), "Needed: 1 KB. Free: 0 KB.");
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_EQ(d.currentState(), kStateDirectory);
  ASSERT_EQ(boxes.asked.size(), 1u);
  EXPECT_EQ(narrow_lib(boxes.asked[0].text), text("IDS_SETUP_NOSPACE") + "\n" + world_.root +
                                                 "/small\nNeeded: 1 KB. Free: 0 KB.");
  EXPECT_EQ(boxes.asked[0].flags, kErrorFlags);
  EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(d.mainWindow)), d.dirSelectPage->entry);
  EXPECT_FALSE(uitest::exists(world_.root + "/small"));

  // Files already up to date need no room: the same folder then is taken.
  ASSERT_EQ(system(("mkdir -p '" + world_.root + "/small/docs'").c_str()), 0);
  for (const char* name : {"docs/a0.txt", "docs/a1.txt", "docs/a2.txt", "readme.html"}) {
    ASSERT_TRUE(config::writeFileBytes(world_.root + "/small/" + name, "mine"));
    ASSERT_EQ(system(("touch -d 2035-01-01 '" + world_.root + "/small/" + name + "'").c_str()), 0);
  }
  boxes.asked.clear();
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  EXPECT_TRUE(boxes.asked.empty());
  EXPECT_EQ(d.currentState(), kStateSuccess);
  EXPECT_EQ(uitest::readFile(world_.root + "/small/docs/a0.txt"), "mine");
}

}  // namespace
