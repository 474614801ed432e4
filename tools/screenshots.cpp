// Renders every page of the wizard and its message boxes into PNG files:
//
//   ovn8screenshots [--font=NAME] OUTDIR [LANG...]   (default languages: all)
//
// Needs a display (scripts/screenshots runs it under Xvfb). Each language
// gets a scratch HOME, TMPDIR and a sample kit; the wizard is driven through
// its buttons, and each page is read back from the window.
#include <gtk/gtk.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/message_box_dialog.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "install/recovery.h"
#include "install/wizard_paths.h"
#include "resources/reasons.h"
#include "ui/installer_dlg.h"
#include "ui/toolkit_language.h"

namespace {

std::string g_outDir;
std::string g_lang;
int g_failures = 0;

void process_events() {
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 500 && gtk_events_pending(); ++i) gtk_main_iteration();
    g_usleep(20000);
  }
}

// Reads the window's contents back from the display.
void capture(GtkWidget* window, const std::string& name) {
  process_events();
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  int width = 0, height = 0;
  gdk_drawable_get_size(GDK_DRAWABLE(gdkWindow), &width, &height);
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_drawable(nullptr, GDK_DRAWABLE(gdkWindow), nullptr, 0,
                                                   0, 0, 0, width, height);
  const std::string path = g_outDir + "/" + name + "_" + g_lang + ".png";
  GError* error = nullptr;
  if (!pixbuf || !gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, nullptr)) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    ++g_failures;
  } else {
    printf("%s (%dx%d)\n", path.c_str(), width, height);
  }
  if (error) g_error_free(error);
  if (pixbuf) g_object_unref(pixbuf);
}

// Shows the next message box for real and captures it, then answers it.
std::string g_boxName;
int g_boxAnswer = GTK_RESPONSE_OK;
gboolean capture_open_box(gpointer) {
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item; item = item->next) {
    GtkWidget* widget = GTK_WIDGET(item->data);
    if (GTK_IS_MESSAGE_DIALOG(widget) && gtk_widget_get_visible(widget)) {
      capture(widget, g_boxName);
      gtk_dialog_response(GTK_DIALOG(widget), g_boxAnswer);
      g_list_free(windows);
      return FALSE;
    }
  }
  g_list_free(windows);
  return TRUE;  // not shown yet
}

void expect_box(const std::string& name, int answer) {
  g_boxName = name;
  g_boxAnswer = answer;
  g_timeout_add(150, capture_open_box, nullptr);
}

// Slows the writing of every entry so that the progress page can be seen.
uint32_t slow_hook(FileOp op, const std::u16string& path, void*) {
  if (op == FileOp::CreateFile && path.find(u"/tmplts/") != std::u16string::npos) g_usleep(60000);
  return 0;
}
// Fails the writing of the entry with the long name on a read-only file
// system, and slows the rollback so that its page can be seen.
uint32_t failing_hook(FileOp op, const std::u16string& path, void*) {
  if (path.find(u"/tmplts/") == std::u16string::npos) return 0;
  if (op == FileOp::CreateFile && path.find(u"north_eastern_division/") != std::u16string::npos)
    return errorFromErrNo(EROFS);
  if (op == FileOp::DeleteFile || op == FileOp::MoveFile) g_usleep(60000);
  return 0;
}

// The folder chooser as the browse button opens it, captured and cancelled.
int capture_chooser(GtkWidget* chooser) {
  gtk_widget_show_all(chooser);
  process_events();
  capture(chooser, "2_chooser");
  return GTK_RESPONSE_CANCEL;
}

// Boxes whose texts carry long paths, shown as the wizard shows them.
void render_path_boxes(CWnd* parent) {
  const std::u16string directory =
      u"/home/user/.ovn8/Ovan/ovn8/tmplts/for_the_accounting_department_of_the_regional_branch/";
  RecoveryNotice notice;
  notice.kind = RecoveryNotice::Kind::kRestored;
  notice.directory = directory;
  expect_box("8_box_recovery", GTK_RESPONSE_OK);
  messageBox(parent, recovery_notice_text(notice), kMessageBoxOk);
  expect_box("8_box_launcher_warning", GTK_RESPONSE_OK);
  messageBox(parent,
             LoadResString("IDS_WARN_LAUNCHERFILE") + u"\n\n/home/user/.Ovan/ovanstart/ovanstart.cfg\n" +
                 failure_reason(ERROR_ACCESS_DENIED),
             kMessageBoxWarning | kMessageBoxOk);
  expect_box("9_box_not_writable", GTK_RESPONSE_OK);
  messageBox(parent,
             LoadResString("IDS_SETUP_TARGETNOTWRITABLE") + u"\n" + directory + u"\n" +
                 failure_reason(ERROR_FILE_NOT_FOUND),
             kMessageBoxError | kMessageBoxOk);
}

bool little_free_space(const std::u16string&, uint64_t& freeBytes) {
  freeBytes = 100;
  return true;
}

// Holds the opening of the kit (on its own thread) until the preparing
// window has been captured, so that it shows however fast the kit opens.
std::thread::id g_interfaceThread;
std::mutex g_gateMutex;
std::condition_variable g_gateChanged;
bool g_gateOpen = true;

uint32_t holding_hook(FileOp, const std::u16string& path, void*) {
  static const std::u16string kKit = u"/ovn8.okd";
  if (std::this_thread::get_id() == g_interfaceThread || path.size() < kKit.size() ||
      path.compare(path.size() - kKit.size(), kKit.size(), kKit) != 0)
    return 0;
  std::unique_lock<std::mutex> lock(g_gateMutex);
  g_gateChanged.wait(lock, [] { return g_gateOpen; });
  return 0;
}

void open_gate() {
  std::lock_guard<std::mutex> lock(g_gateMutex);
  g_gateOpen = true;
  g_gateChanged.notify_all();
}

GtkWidget* shown_window_with_bar() {
  GList* windows = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* item = windows; item && !found; item = item->next) {
    GtkWidget* window = GTK_WIDGET(item->data);
    if (!gtk_widget_get_mapped(window) || !GTK_IS_BIN(window)) continue;
    GtkWidget* box = gtk_bin_get_child(GTK_BIN(window));
    if (!box || !GTK_IS_CONTAINER(box)) continue;
    GList* children = gtk_container_get_children(GTK_CONTAINER(box));
    for (GList* child = children; child; child = child->next)
      if (GTK_IS_PROGRESS_BAR(child->data)) found = window;
    g_list_free(children);
  }
  g_list_free(windows);
  return found;
}

// Captures the preparing window once its bar has moved a few times.
int g_preparingTicks = 0;
gboolean capture_preparing(gpointer) {
  GtkWidget* window = shown_window_with_bar();
  if (!window || ++g_preparingTicks < 4) return TRUE;
  capture(window, "0_preparing");
  open_gate();
  return FALSE;
}

// The scratch folder at a fixed place, so that the paths the pages show
// (and with them the pictures) are the same in every rendering. What stands
// there is removed only when it is this user's own real folder.
class FixedScratchDir {
 public:
  explicit FixedScratchDir(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) {
      if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid()) {
        fprintf(stderr, "screenshots: %s is in the way and not this user's folder\n", path.c_str());
        return;
      }
      testkit::removeTree(path);
    }
    if (mkdir(path.c_str(), 0700) == 0) path_ = path;
  }
  ~FixedScratchDir() {
    if (!path_.empty()) testkit::removeTree(path_);
  }
  FixedScratchDir(const FixedScratchDir&) = delete;
  FixedScratchDir& operator=(const FixedScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// HOME, TMPDIR and the kit folder (the current directory) in a scratch
// folder, all put back or removed at the end.
struct Scratch {
  FixedScratchDir folder{"/tmp/ovn8-screenshots"};
  const std::string root = folder.path();
  testkit::EnvGuard home{"HOME", (root + "/home").c_str()};
  testkit::EnvGuard tmpdir{"TMPDIR", (root + "/tmp").c_str()};
  Scratch() {
    // Nothing may be made or written relative to "/".
    if (root.empty()) exit(1);
    for (const char* sub : {"/home", "/tmp", "/kit"}) mkdir((root + sub).c_str(), 0755);
    if (chdir((root + "/kit").c_str()) != 0) perror("chdir");
  }
  ~Scratch() {
    if (chdir("/") != 0) perror("chdir");
  }
};

bool write_sample_kit() {
  config::KitSpec spec;
  spec.descriptions = {{u"en", u"Sample Templates", u"Example Software Ltd.", u"readme.html"},
                       {u"ru", u"Образцы шаблонов", u"ООО «Пример Софт»", u"readme.html"},
                       {u"de", u"Beispielvorlagen", u"Beispiel Software GmbH", u"readme.html"}};
  for (int i = 0; i < 12; ++i) {
    config::KitFileSpec file;
    file.name = widen_lib("forms\\form" + std::to_string(i) + ".tpl");
    file.data = "template " + std::to_string(i);
    file.lastWriteTime = config::fileTimeFromUnix(1500000000, 0);
    spec.files.push_back(file);
    // A long name, for the progress line and the error box.
    if (i == 7)
      spec.files.push_back({u"forms\\quarterly_reports\\regional_offices_of_the_north_eastern_"
                            u"division\\consolidated_summary_for_the_accounting_department.tpl",
                            "summary", config::fileTimeFromUnix(1500000000, 0)});
  }
  spec.files.emplace_back(u"readme.html", "<html></html>", config::fileTimeFromUnix(1500000000, 0));
  // The maintenance pages name it.
  spec.kitVersion = u"2.4";
  return config::writeKit("ovn8.okd", spec);
}

// A session and the window on it, as the program makes them.
struct SessionHolder {
  SessionHolder() : installation(settings()) {}
  static SessionSettings settings() {
    SessionSettings settings;
    settings.languageCode = widen_lib(g_lang);
    settings.useCurrentDirectory = true;
    settings.withDisplay = true;
    return settings;
  }
  InstallationSession installation;
};

class Wizard : public SessionHolder, public CInstallerDlg {
 public:
  Wizard() : CInstallerDlg(installation, false, narrow_lib(LoadResString("IDR_MAINFRAME"))) {}
};

// `preparing`: the kit opens slowly enough for its preparing window.
std::unique_ptr<Wizard> open_wizard(bool preparing = false) {
  std::unique_ptr<Wizard> dialog(new Wizard());
  if (preparing) {
    g_gateOpen = false;
    g_preparingTicks = 0;
    FileSystem::SetFaultHook(&holding_hook, nullptr);
    g_timeout_add(150, capture_preparing, nullptr);
  }
  const bool opened = dialog->OnInitDialog();
  if (preparing) {
    FileSystem::SetFaultHook(nullptr, nullptr);
    if (!g_gateOpen) ++g_failures;
    open_gate();
  }
  if (!opened) return nullptr;
  dialog->showMainWindow();
  dialog->showWelcomePage();
  process_events();
  return dialog;
}

// Runs `action` from the main loop every 10 ms while it returns true.
guint repeat_while(std::function<bool()>* action) {
  return g_timeout_add(
      10, [](gpointer data) -> gboolean { return (*static_cast<std::function<bool()>*>(data))(); }, action);
}

// Next with every entry slowed; the progress page is captured as `name`
// once `ready` holds of the run's report. Whether it was.
bool run_capturing(Wizard& d, const std::string& name, const std::function<bool(const RunReport&)>& ready) {
  FileSystem::SetFaultHook(&slow_hook, nullptr);
  bool captured = false;
  std::function<bool()> probe = [&] {
    RunReport report;
    d.installation.latestReport(report);
    if (d.currentState() != kStateProgress || !ready(report)) return true;
    capture(d.mainWindow, name);
    captured = true;
    return false;
  };
  const guint source = repeat_while(&probe);
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  FileSystem::SetFaultHook(nullptr, nullptr);
  // The probe goes with this function.
  if (!captured) g_source_remove(source);
  return captured;
}

// An installation found again: the directory page and the choice that say
// so, a repair of a deleted and a changed file with its progress and final
// page, and a removal with its question and final page.
// A wizard on its directory page; null (a failure) when it did not start.
std::unique_ptr<Wizard> wizard_at_directory() {
  std::unique_ptr<Wizard> dialog = open_wizard();
  if (!dialog) {
    ++g_failures;
    return nullptr;
  }
  gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
  return dialog;
}

void render_maintenance() {
  Scratch scratch;
  std::unique_ptr<Wizard> first = write_sample_kit() ? wizard_at_directory() : nullptr;
  if (!first) return;
  gtk_button_clicked(GTK_BUTTON(first->buttonNext));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(first->successPage->checkBox), FALSE);
  const std::string forms = narrow_lib(first->installation.targetDirectory()) + "/forms/";
  gtk_button_clicked(GTK_BUTTON(first->buttonNext));
  first.reset();
  if (unlink((forms + "form3.tpl").c_str()) != 0 || !config::writeFileBytes(forms + "form5.tpl", "changed")) ++g_failures;

  std::unique_ptr<Wizard> second = wizard_at_directory();
  if (!second) return;
  Wizard& d = *second;
  capture(d.mainWindow, "10_directory_installed");
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  if (d.currentState() != kStateMaintenance) ++g_failures;
  capture(d.mainWindow, "10_maintenance");
  const bool captured =
      run_capturing(d, "10_repairing", [](const RunReport& report) { return report.entry >= 1; });
  if (!captured || d.currentState() != kStateMaintained) ++g_failures;
  capture(d.mainWindow, "11_repaired");
  gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  second.reset();

  if (!config::writeFileBytes(forms + "form5.tpl", "changed again")) ++g_failures;
  std::unique_ptr<Wizard> third = wizard_at_directory();
  if (!third) return;
  gtk_button_clicked(GTK_BUTTON(third->buttonNext));
  third->maintenancePage->choose(MaintenancePage::Choice::kRemove);
  expect_box("11_box_remove", GTK_RESPONSE_YES);
  gtk_button_clicked(GTK_BUTTON(third->buttonNext));
  if (third->currentState() != kStateMaintained) ++g_failures;
  capture(third->mainWindow, "12_removed");
  gtk_button_clicked(GTK_BUTTON(third->buttonNext));
}

void render_language() {
  set_resource_lang(get_lang_id_by_lang_code(g_lang));
  {
    Scratch scratch;
    if (!write_sample_kit()) {
      ++g_failures;
      return;
    }
    std::unique_ptr<Wizard> dialog = open_wizard(true);
    if (!dialog) {
      ++g_failures;
      return;
    }
    Wizard& d = *dialog;
    capture(d.mainWindow, "1_welcome");
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    capture(d.mainWindow, "2_directory");
    set_folder_chooser_runner(&capture_chooser);
    gtk_button_clicked(GTK_BUTTON(d.dirSelectPage->browseButton));
    set_folder_chooser_runner(nullptr);
    render_path_boxes(&d);

    // The cancel question, answered No, while the directory page is shown.
    expect_box("6_box_cancel", GTK_RESPONSE_NO);
    gtk_button_clicked(GTK_BUTTON(d.buttonCancel));

    // A file where the template directory should be: refused on Next.
    const std::u16string proposed = d.dirSelectPage->getPath();
    d.dirSelectPage->setPath(std::string("/etc/hostname"));
    expect_box("9_box_not_folder", GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    d.dirSelectPage->setPath(proposed);

    // Too little space where the directory would go: refused on Next.
    set_free_space_probe(&little_free_space);
    d.dirSelectPage->updateSpace();
    capture(d.mainWindow, "2_directory_no_space");
    expect_box("9_box_no_space", GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    set_free_space_probe(nullptr);
    d.dirSelectPage->updateSpace();

    // The progress page, caught half way.
    if (!run_capturing(d, "3_progress", [](const RunReport& report) { return report.progress >= 40; }))
      ++g_failures;
    capture(d.mainWindow, "4_success");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(d.successPage->checkBox), FALSE);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  }
  {
    // A failing run: the error box, then the error page.
    Scratch scratch;
    write_sample_kit();
    std::unique_ptr<Wizard> dialog = open_wizard();
    if (!dialog) {
      ++g_failures;
      return;
    }
    Wizard& d = *dialog;
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    FileSystem::SetFaultHook(&failing_hook, nullptr);
    bool restoring = false;
    const std::string restoringText = narrow_lib(LoadResString("IDS_PROGRESS_ROLLBACK"));
    std::function<bool()> probe = [&] {
      if (d.currentState() != kStateProgress || !d.progressPage) return true;
      if (restoringText != gtk_label_get_text(GTK_LABEL(d.progressPage->label))) return true;
      capture(d.mainWindow, "3_rollback");
      restoring = true;
      return false;
    };
    const guint source = g_timeout_add(
        10, [](gpointer data) -> gboolean { return (*static_cast<std::function<bool()>*>(data))(); },
        &probe);
    expect_box("7_box_install_error", GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    FileSystem::SetFaultHook(nullptr, nullptr);
    if (!restoring) {
      g_source_remove(source);
      fprintf(stderr, "no rollback page seen (state %d)\n", d.currentState());
      ++g_failures;
    }
    capture(d.mainWindow, "5_failed");
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  }
  {
    // Cancel while the files are copied: the run rolls back, the cancel page.
    Scratch scratch;
    write_sample_kit();
    std::unique_ptr<Wizard> dialog = open_wizard();
    if (!dialog) {
      ++g_failures;
      return;
    }
    Wizard& d = *dialog;
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    FileSystem::SetFaultHook(&slow_hook, nullptr);
    std::function<bool()> canceller = [&] {
      if (d.currentState() != kStateProgress) return true;
      expect_box("6_box_cancel", GTK_RESPONSE_YES);
      gtk_button_clicked(GTK_BUTTON(d.buttonCancel));
      return false;
    };
    g_timeout_add(
        200, [](gpointer data) -> gboolean { return (*static_cast<std::function<bool()>*>(data))(); },
        &canceller);
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
    FileSystem::SetFaultHook(nullptr, nullptr);
    if (d.currentState() != kStateCancelled) ++g_failures;
    capture(d.mainWindow, "5_cancelled");
    gtk_button_clicked(GTK_BUTTON(d.buttonNext));
  }
  render_maintenance();
  {
    // No kit at all: the start-up check's box.
    Scratch scratch;
    std::unique_ptr<Wizard> dialog(new Wizard());
    expect_box("8_box_no_kit", GTK_RESPONSE_OK);
    dialog->DoModal();
  }
}

}  // namespace

int main(int argc, char** argv) {
  init_locale_from_environment();
  if (!gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "cannot open the display\n");
    return 1;
  }
  use_toolkit_message_boxes();
  // --font=NAME renders at that font instead of the desktop's.
  const std::string fontOption = "--font=";
  if (argc > 1 && std::string(argv[1]).compare(0, fontOption.size(), fontOption) == 0) {
    g_object_set(gtk_settings_get_default(), "gtk-font-name", argv[1] + fontOption.size(), nullptr);
    --argc;
    ++argv;
  }
  if (argc < 2) {
    fprintf(stderr, "usage: %s [--font=NAME] OUTDIR [LANG...]\n", argv[0]);
    return 2;
  }
  g_get_home_dir();  // read the real HOME before the scratch ones
  g_interfaceThread = std::this_thread::get_id();
  g_outDir = argv[1];
  // The scratch folders change the working directory.
  if (g_outDir[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd))) g_outDir = std::string(cwd) + "/" + g_outDir;
  }
  std::vector<std::string> languages;
  for (int i = 2; i < argc; ++i) languages.push_back(argv[i]);
  if (languages.empty())
    for (const auto& language : lang_table()) languages.push_back(language.second.code);
  for (const std::string& lang : languages) {
    g_lang = lang;
    speak_toolkit_language(lang);
    render_language();
  }
  return g_failures == 0 ? 0 : 1;
}
