#include "ui/installer_dlg.h"

#include <gdk/gdkkeysyms.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "config/config_file.h"
#include "config/config_paths.h"
#include "config/launcher_file_lock.h"
#include "config/starter.h"
#include "install/installer.h"
#include "install/recovery.h"
#include "install/target_lock.h"
#include "platform/file_finder.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/run_log.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/pictures.h"
#include "resources/reasons.h"
#include "resources/version.h"
#include "ui/document_opener.h"
#include "ui/headless_run.h"
#include "ui/kit_preparation.h"
#include "ui/wizard_paths.h"

namespace {

const unsigned kErrorBoxFlags = kMessageBoxError | kMessageBoxOk;
const unsigned kQuestionBoxFlags = kMessageBoxQuestion | kMessageBoxYesNo;
const unsigned kPlainBoxFlags = kMessageBoxOk;
// The button row: 80 x 30 at y = 320, a 20-pixel gap between Next and
// Cancel, the separator 10 pixels above the row.
const int kButtonMinWidth = 80;
const int kButtonMinHeight = 30;
const int kButtonRowY = 320;
const int kButtonGap = 20;
const int kSeparatorY = 310;
// The toolkit asks for a few pixels around a button's label only; a label
// that needs the width of the button gets this much air besides.
const int kButtonTextPadding = 12;
// How often the progress loop wakes up when nothing else happens.
const guint kProgressWakeMs = 40;

std::u16string count_text(uint64_t count) { return widen_lib(std::to_string(count)); }

// "the stream is cut short" as a sentence of its own in a box.
std::string as_sentence(std::string text) {
  if (text.empty()) return text;
  if (text[0] >= 'a' && text[0] <= 'z') text[0] = char(text[0] - 'a' + 'A');
  if (text.back() != '.') text += '.';
  return text;
}

// Also runs inside the loop of an open message box.
gboolean wake_progress_loop(gpointer dialog) {
  // Inside a box's loop the page still shows where the run stands.
  static_cast<CInstallerDlg*>(dialog)->refreshProgress();
  if (stop_requested()) static_cast<CInstallerDlg*>(dialog)->stopOnSignal();
  return TRUE;
}

}  // namespace

CInstallerDlg::CInstallerDlg(int argc, char** argv, bool silent, const std::string& title,
                             const std::u16string& languageCode, bool useCurrentDirectory)
    : listFromBaseConfig(false),
      baseConfigExists(false),
      silentMode(silent),
      langCode(languageCode),
      state(kStateNone),
      welcomePage(nullptr),
      dirSelectPage(nullptr),
      curPage(nullptr),
      progressPage(nullptr),
      successPage(nullptr),
      errorPage(nullptr),
      useCurrentDir(useCurrentDirectory),
      backImage(nullptr),
      buttonPrev(nullptr),
      buttonNext(nullptr),
      buttonCancel(nullptr),
      argc(argc),
      argv(argv),
      width(500),
      height(360),
      title(title),
      mainWindow(nullptr),
      fixed(nullptr),
      icon(nullptr),
      separator(nullptr),
      cancelPage(nullptr),
      displayOpen(false),
      exitStatus(kExitStartupFailed),
      cancelRequested(false),
      restoring(false),
      closeWhenDone(false),
      inProgressLoop(false),
      wakeSource(0) {
  // Without a display the toolkit stays untouched: silent mode then runs
  // headless, and every box becomes a line on standard error.
  displayOpen = gtk_init_check(&this->argc, &this->argv);
  if (!displayOpen) set_message_box_mode(MessageBoxMode::Console);
  // A silent run under a display still waits for its error boxes (someone
  // is there to read why nothing was installed); the same lines go to
  // standard error for whoever started it from a script.
  set_message_box_echo(silentMode);
  set_message_box_button_texts({LoadResString("IDS_MSGBOX_YES"), LoadResString("IDS_MSGBOX_NO"),
                                LoadResString("IDS_MSGBOX_OK")});
  processData.setInstallState(0, LoadResString("IDS_PREPARECOPY"), 0);
}

CInstallerDlg::~CInstallerDlg() {
  waitForWorker();
  destroyMainWindow();
  delete welcomePage;
  delete dirSelectPage;
  delete progressPage;
  delete successPage;
  delete errorPage;
  delete cancelPage;
  if (backImage) g_object_unref(backImage);
  if (icon) g_object_unref(icon);
}

std::u16string CInstallerDlg::getWindowTitle() { return widen_lib(title); }

GtkWidget* CInstallerDlg::getWindowWidget() { return mainWindow; }

// ---------------------------------------------------------------- start-up

std::u16string CInstallerDlg::getOkdFullPath() {
  std::string directory;
  if (useCurrentDir) {
    char buffer[PATH_MAX] = {};
    if (!getcwd(buffer, sizeof(buffer))) return std::u16string();
    directory = buffer;
  } else {
    char buffer[PATH_MAX] = {};
    const ssize_t got = readlink("/proc/self/exe", buffer, sizeof(buffer));
    // Nothing read, or a path that filled the whole buffer (cut off).
    if (got <= 0 || size_t(got) >= sizeof(buffer)) return std::u16string();
    directory = buffer;
    directory.erase(directory.find_last_of('/') == std::string::npos
                        ? 0
                        : directory.find_last_of('/'));
  }
  return widen_lib(directory + "/ovn8.okd");
}

namespace {

// What a link names counts: a dangling link to the kit is a missing kit.
bool kit_exists(const std::u16string& path) {
  FileStatus status;
  return !path.empty() && FileSystem::GetFileStatus(path, true, status) == ERROR_SUCCESS &&
         status.exists();
}

}  // namespace

bool CInstallerDlg::OnInitDialog() {
  const std::u16string candidate = getOkdFullPath();
  if (!kit_exists(candidate)) {
    okdPath = candidate;
    logStart(false);
    messageBox(this, LoadResString("IDS_ERROR_NOSOURCE"), kErrorBoxFlags);
    return false;
  }
  okdPath = candidate;

  readTemplateList();

  targetPath.clear();
  bool found = false;
  for (const std::u16string& directory : tmpltsList) {
    if (isWritePermitted(directory)) {
      targetPath = directory;
      found = true;
      break;
    }
  }
  if (!found) targetPath = n8_app_data_dir(false) + u"tmplts" + kPathSeparator;
  targetPath = cleanProposedDirectory(targetPath);
  if (!targetOverride.empty()) targetPath = targetOverride;
  logStart(true);

  uint32_t kitSize = 0;
  uint32_t freeBytes = 0;
  if (FileSystem::GetFileSize(okdPath, &kitSize) == 0 &&
      FileSystem::GetFreeSpaceTmpDir(&freeBytes) == 0 &&
      !enoughTemporarySpace(kitSize, freeBytes)) {
    log_event("error: the temporary directory has " + std::to_string(freeBytes) +
              " bytes free, " + std::to_string(kSpaceReg) + " times the kit's size are needed");
    messageBox(this, LoadResString("IDS_ERROR_NOSPACE"), kErrorBoxFlags);
    return false;
  }

  // Under a display the kit opens off the interface thread, and an open
  // that takes a while shows the preparing window; headless runs open it
  // here and print nothing more.
  uint32_t opened = 0;
  if (displayOpen) {
    KitPreparation preparation(title);
    opened = preparation.run([this] { return installData.open(okdPath); });
  } else {
    opened = installData.open(okdPath);
  }
  if (opened != 0) {
    // The temporary directory filled up while the kit was unpacked; the
    // partial container is already gone.
    const bool full = opened == ERROR_DISK_FULL;
    log_event(error_event("error " + narrow_lib(okdPath) +
                              (full ? ": no space left to unpack the kit" : ": the kit is damaged: ") +
                              (full ? std::string() : installData.refusal()),
                          opened));
    // Where the kit is wrong, for whoever made it; a kit that cannot be read
    // at all says why in the interface language.
    std::u16string detail;
    if (!full)
      detail = u"\n" + (opened == ERROR_INVALID_DATA ? widen_lib(as_sentence(installData.refusal()))
                                                     : printable(okdPath) + u"\n" + failure_reason(opened));
    messageBox(this, LoadResString(full ? "IDS_ERROR_NOSPACE" : "IDS_ERROR_DAMAGEDSOURCE") + detail,
               kErrorBoxFlags);
    return false;
  }
  log_event("kit opened: " + std::to_string(installData.descriptions.size()) + " descriptions, " +
            std::to_string(installData.entries.size()) + " entries");
  return true;
}

void CInstallerDlg::logStart(bool kitFound) {
  if (!run_log().isOpen()) return;
  uint32_t kitSize = 0;
  std::string kit = okdPath.empty() ? std::string("(unknown path)") : narrow_lib(okdPath);
  if (!kitFound)
    kit += " (not found)";
  else if (FileSystem::GetFileSize(okdPath, &kitSize) == 0)
    kit += " (" + std::to_string(kitSize) + " bytes)";
  log_event(std::string("start ovn8setup ") + program_version() + ", kit " + kit + ", target " +
            (kitFound ? narrow_lib(targetPath) : std::string("-")) + ", language " +
            narrow_lib(langCode) + ", mode " + (silentMode ? "silent" : "interactive") +
            (displayOpen ? "" : " without a display"));
}

// ---------------------------------------------------------------- window

GdkPixbuf* CInstallerDlg::createIcon() {
  return gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kIconXpm));
}

GdkPixbuf* CInstallerDlg::createBackImage() {
  return gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kBannerXpm));
}

void CInstallerDlg::showMainWindow() {
  mainWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  initMainWindow();
  gtk_window_set_title(GTK_WINDOW(mainWindow), title.c_str());

  separator = gtk_hseparator_new();
  gtk_widget_set_size_request(separator, width - 20, 5);
  gtk_fixed_put(GTK_FIXED(fixed), separator, 10, 310);

  buttonPrev = gtk_button_new_with_label(narrow_lib(LoadResString("IDS_WIZARD_BACK")).c_str());
  gtk_fixed_put(GTK_FIXED(fixed), buttonPrev, 230, 320);

  buttonNext = gtk_button_new_with_label(narrow_lib(LoadResString("IDS_WIZARD_NEXT")).c_str());
  gtk_fixed_put(GTK_FIXED(fixed), buttonNext, 310, 320);
  gtk_widget_set_can_default(buttonNext, TRUE);
  gtk_widget_grab_default(buttonNext);

  buttonCancel =
      gtk_button_new_with_label(narrow_lib(LoadResString("IDS_WIZARD_CANCEL")).c_str());
  gtk_fixed_put(GTK_FIXED(fixed), buttonCancel, 410, 320);
  layoutButtons();

  g_signal_connect(buttonPrev, "clicked", G_CALLBACK(on_buttonPrev_clicked), this);
  g_signal_connect(buttonNext, "clicked", G_CALLBACK(on_buttonNext_clicked), this);
  g_signal_connect(buttonCancel, "clicked", G_CALLBACK(button_clicked_handler), this);

  gtk_widget_show_all(fixed);
  backImage = createBackImage();
  gtk_widget_show(mainWindow);
}

// The three buttons share one width, the widest that any of their labels
// needs at the desktop's font (Next also carries Finish), never less than
// 80; Cancel keeps the right margin, Next stands 20 pixels left of it and
// Back right against Next. A taller font moves the row and the separator up.
void CInstallerDlg::layoutButtons() {
  const char* const keys[] = {"IDS_WIZARD_BACK", "IDS_WIZARD_NEXT", "IDS_WIZARD_FINISH",
                              "IDS_WIZARD_CANCEL"};
  const std::string nextLabel = gtk_button_get_label(GTK_BUTTON(buttonNext));
  int needed[4] = {};
  int buttonHeight = kButtonMinHeight;
  for (int i = 0; i < 4; ++i) {
    setLabel(buttonNext, keys[i]);
    const GtkRequisition size = natural_size(buttonNext);
    needed[i] = std::max(kButtonMinWidth, int(size.width) + kButtonTextPadding);
    buttonHeight = std::max(buttonHeight, int(size.height));
  }
  gtk_button_set_label(GTK_BUTTON(buttonNext), nextLabel.c_str());

  int back = std::max({needed[0], needed[1], needed[2], needed[3]});
  int next = back, cancel = back;
  const int room = width - 2 * kWindowMargin - kButtonGap;
  if (3 * back > room) {
    // One width for all would not fit the row: each gets what it needs.
    back = needed[0];
    next = std::max(needed[1], needed[2]);
    cancel = needed[3];
  }
  const int y = std::min(kButtonRowY, height - kWindowMargin - buttonHeight);
  const int cancelX = width - kWindowMargin - cancel;
  const int nextX = cancelX - kButtonGap - next;
  gtk_widget_set_size_request(buttonPrev, back, buttonHeight);
  gtk_widget_set_size_request(buttonNext, next, buttonHeight);
  gtk_widget_set_size_request(buttonCancel, cancel, buttonHeight);
  gtk_fixed_move(GTK_FIXED(fixed), buttonCancel, cancelX, y);
  gtk_fixed_move(GTK_FIXED(fixed), buttonNext, nextX, y);
  gtk_fixed_move(GTK_FIXED(fixed), buttonPrev, nextX - back, y);
  gtk_fixed_move(GTK_FIXED(fixed), separator, kWindowMargin, y - kButtonRowY + kSeparatorY);
}

void CInstallerDlg::initMainWindow() {
  gtk_window_set_position(GTK_WINDOW(mainWindow), GTK_WIN_POS_CENTER);
  GdkGeometry hints = {};
  hints.min_width = hints.max_width = hints.base_width = width;
  hints.min_height = hints.max_height = hints.base_height = height;
  gtk_window_set_geometry_hints(
      GTK_WINDOW(mainWindow), mainWindow, &hints,
      GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE | GDK_HINT_BASE_SIZE));
  gtk_window_set_modal(GTK_WINDOW(mainWindow), TRUE);
  gtk_window_set_type_hint(GTK_WINDOW(mainWindow), GDK_WINDOW_TYPE_HINT_MENU);
  icon = createIcon();
  gtk_window_set_icon(GTK_WINDOW(mainWindow), icon);
  fixed = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(mainWindow), fixed);
  g_signal_connect(mainWindow, "destroy", G_CALLBACK(on_window_destroy), this);
  g_signal_connect(mainWindow, "delete_event", G_CALLBACK(on_window_delete), this);
  g_signal_connect(mainWindow, "key_press_event", G_CALLBACK(gtk_window_key_press_callback),
                   this);
}

void CInstallerDlg::destroyMainWindow() {
  if (mainWindow) gtk_widget_destroy(mainWindow);  // on_window_destroy clears it
}

void CInstallerDlg::setCurPage(WizardDialogPage* page) {
  if (curPage && mainWindow)
    for (GtkWidget* widget : curPage->getWidgets()) gtk_widget_hide(widget);
  curPage = page;
  if (!page) return;
  for (GtkWidget* widget : page->getWidgets()) gtk_widget_show(widget);
  page->onShow();
  focusOnArrival();
}

GtkWidget* CInstallerDlg::arrivalFocus() {
  if (curPage) {
    GtkWidget* own = curPage->focusWidget();
    if (own && gtk_widget_get_visible(own) && gtk_widget_is_sensitive(own)) return own;
  }
  for (GtkWidget* button : {buttonNext, buttonCancel})
    if (button && gtk_widget_get_visible(button) && gtk_widget_is_sensitive(button)) return button;
  return nullptr;
}

void CInstallerDlg::focusOnArrival() {
  if (!mainWindow) return;
  if (GtkWidget* focus = arrivalFocus()) gtk_widget_grab_focus(focus);
}

// Back where the user was before a box; a Cancel button that asked gives
// way to the page's own focus, so that Enter does not ask again.
void CInstallerDlg::restoreFocus(GtkWidget* before) {
  if (!mainWindow) return;
  if (before && before != buttonCancel && gtk_widget_get_visible(before) &&
      gtk_widget_is_sensitive(before) && gtk_widget_get_toplevel(before) == mainWindow)
    gtk_widget_grab_focus(before);
  else
    focusOnArrival();
}

GtkWidget* CInstallerDlg::focusedWidget() {
  return mainWindow ? gtk_window_get_focus(GTK_WINDOW(mainWindow)) : nullptr;
}

std::vector<const config::KitDescription*> CInstallerDlg::descriptionsByPreference() {
  std::vector<const config::KitDescription*> order;
  auto add = [&order](const config::KitDescription* description) {
    if (description && std::find(order.begin(), order.end(), description) == order.end())
      order.push_back(description);
  };
  auto inLanguage = [this](const std::u16string& code) -> const config::KitDescription* {
    for (const config::KitDescription& description : installData.descriptions)
      if (compare_nocase(description.languageCode, code) == 0) return &description;
    return nullptr;
  };
  add(inLanguage(langCode));
  add(inLanguage(u"en"));
  if (!installData.descriptions.empty()) add(&installData.descriptions.front());
  return order;
}

void CInstallerDlg::titles(std::u16string& product, std::u16string& vendor) {
  product.clear();
  vendor.clear();
  // A kit that describes the product in other languages only still names
  // it: its English description, else its first one.
  const std::vector<const config::KitDescription*> order = descriptionsByPreference();
  if (order.empty()) return;
  product = order.front()->productName;
  vendor = order.front()->providerName;
}

uint64_t CInstallerDlg::kitFilesBytes() const {
  uint64_t bytes = 0;
  for (const config::KitEntry& entry : installData.entries) bytes += entry.size;
  return bytes;
}

// As the installer decides: a file that is there and not older than its
// entry stays; everything else is written (an older copy moves aside on the
// same file system, so the new one needs its full size).
uint64_t CInstallerDlg::bytesToWrite(const std::u16string& directory) const {
  const std::u16string base =
      directory.empty() || directory.back() == u'/' ? directory : directory + u"/";
  uint64_t bytes = 0;
  for (const config::KitEntry& entry : installData.entries) {
    FileStatus status;
    const bool upToDate =
        FileSystem::GetFileStatus(base + config::entryNameInDirectory(entry.name), true, status) ==
            ERROR_SUCCESS &&
        status.kind == FileKind::kRegular &&
        status.times.writeSeconds >= FileTimeToEpoch(entry.lastWriteTime);
    if (!upToDate) bytes += entry.size;
  }
  return bytes;
}

void CInstallerDlg::setLabel(GtkWidget* button, const char* key) {
  gtk_button_set_label(GTK_BUTTON(button), narrow_lib(LoadResString(key)).c_str());
}

// ---------------------------------------------------------------- the run

int CInstallerDlg::DoModal() {
  exitStatus = kExitStartupFailed;
  if (!OnInitDialog()) return exitStatus;
  if (!displayOpen) {
    if (silentMode) return run_headless(*this);
    fprintf(stderr, "ovn8setup: %s\n", narrow_lib(LoadResString("IDS_ERROR_NODISPLAY")).c_str());
    return exitStatus;
  }
  showMainWindow();
  showWelcomePage();
  // Until an installation has run, leaving the wizard is a cancellation.
  exitStatus = kExitCancelled;
  if (silentMode) {
    showProgressPage();
    waitForWorker();
    destroyMainWindow();
    return exitStatus;
  }
  gtk_main();
  waitForWorker();
  return exitStatus;
}

void CInstallerDlg::showWelcomePage() {
  std::u16string product;
  std::u16string vendor;
  titles(product, vendor);
  if (product.empty()) product = LoadResString("IDS_DEFPRODUCT");
  if (vendor.empty()) vendor = LoadResString("IDS_DEFPROVIDER");
  const std::u16string text =
      LoadResString("IDS_WELCOME_TITLE") + u" " + product + u" (" + vendor + u").";
  if (!welcomePage) welcomePage = new MessagePage(fixed, backImage, text);
  if (silentMode) {
    gtk_widget_hide(buttonPrev);
    gtk_widget_hide(buttonNext);
  } else {
    gtk_widget_set_sensitive(buttonPrev, FALSE);
  }
  state = kStateWelcome;
  setCurPage(welcomePage);
}

void CInstallerDlg::showSelectPathPage() {
  state = kStateDirectory;
  if (!dirSelectPage) dirSelectPage = new DirSelectPage(fixed, backImage);
  dirSelectPage->setPath(targetPath);
  dirSelectPage->setNeededSpace(kitFilesBytes());
  gtk_widget_set_sensitive(buttonPrev, TRUE);
  gtk_widget_set_sensitive(buttonNext, TRUE);
  // Coming back from the error page: the buttons of a page before the run.
  gtk_widget_set_sensitive(buttonCancel, TRUE);
  setLabel(buttonNext, "IDS_WIZARD_NEXT");
  setCurPage(dirSelectPage);
}

CInstallerDlg::RunOutcome CInstallerDlg::runInstallation(
    const std::function<void(const RunReport&)>& tick, RunReport& report) {
  cancelRequested = false;
  restoring = false;
  report = RunReport();
  // Asked to stop before anything began.
  if (stop_requested()) {
    processData.setCancel(true);
    report.result = ERROR_CANCELLED;
    return RunOutcome::Cancelled;
  }
  if (installThread.start(this) != 0) {
    report.code = report.result = ERROR_INVALID_HANDLE;
    report.message = LoadResString("IDS_INSTALL_ERROR");
    return RunOutcome::Failed;
  }
  // The run says itself when it is over (its rollback included) and how.
  do {
    processData.getReport(report);
    tick(report);
  } while (report.phase != RunPhase::kEnded);
  waitForWorker();
  if (report.result == ERROR_SUCCESS) return RunOutcome::Success;
  if (report.result == ERROR_CANCELLED) return RunOutcome::Cancelled;
  return RunOutcome::Failed;
}

void CInstallerDlg::showProgressPage() {
  if (silentMode && targetPath.empty()) {
    messageBox(this, LoadResString("IDS_SETUP_EMPTYTARGET"), kPlainBoxFlags);
    exitStatus = kExitStartupFailed;
    return;
  }
  lastRun = RunReport();
  // From here until the rollback has ended, a stop signal cancels the run.
  defer_stop_signals();
  if (!lockTargetDirectory()) {
    allow_stop_signals();
    if (exitStatus == kExitStartupFailed)
      destroyMainWindow();
    else
      showErrorFinalPage();
    return;
  }
  if (!progressPage) progressPage = new ProgressPage(fixed, width - 20);
  gtk_widget_set_sensitive(buttonPrev, FALSE);
  gtk_widget_set_sensitive(buttonNext, FALSE);
  gtk_widget_set_sensitive(buttonCancel, TRUE);
  processData.init(&installData, targetPath);
  setCurPage(progressPage);
  state = kStateProgress;
  closeWhenDone = false;

  inProgressLoop = true;
  wakeSource = gdk_threads_add_timeout(kProgressWakeMs, wake_progress_loop, this);
  RunReport& report = lastRun;
  const RunOutcome outcome = runInstallation(
      [this](const RunReport& now) {
        showRunReport(now);
        if (stop_requested()) stopOnSignal();
        gtk_main_iteration();
      },
      report);
  g_source_remove(wakeSource);
  wakeSource = 0;
  inProgressLoop = false;
  allow_stop_signals();
  // Whoever sent the signal wants the wizard gone, not a final page.
  if (stop_requested()) closeWhenDone = true;

  if (outcome == RunOutcome::Success) {
    if (!closeWhenDone) showSuccessFinalPage();
    exitStatus = finishSuccessfulRun();
  } else if (outcome == RunOutcome::Cancelled) {
    exitStatus = kExitCancelled;
    if (!closeWhenDone) showCancelFinalPage();
  } else if (report.result == ERROR_LOCK_VIOLATION) {
    // Another wizard took the directory between the check and the run:
    // nothing was changed, as when the check itself finds it busy.
    messageBox(this, LoadResString("IDS_ERROR_TARGETBUSY"), kErrorBoxFlags);
    exitStatus = kExitStartupFailed;
    destroyMainWindow();
    return;
  } else {
    exitStatus = kExitInstallFailed;
    if (!closeWhenDone) {
      messageBox(this, report.message, kErrorBoxFlags);
      showErrorFinalPage();
    }
  }
  // Escape answered with Yes, or the window closed, while the run went on.
  if (closeWhenDone) destroyMainWindow();
}

void CInstallerDlg::readTemplateList() {
  tmpltsList.clear();
  listFromBaseConfig = false;
  baseConfigExists = file_exists(get_local_config_file_path_base());
  const bool localConfigExists = file_exists(get_local_config_file_path());
  if (localConfigExists) {
    get_tmplts_list(tmpltsList, true, false);
  } else if (baseConfigExists) {
    get_tmplts_list(tmpltsList, true, true);
    if (!tmpltsList.empty()) listFromBaseConfig = true;
  }
}

bool CInstallerDlg::recordTemplateDirectory() {
  std::u16string directory = targetPath;
  // Only one final separator goes; the root stays the root.
  if (directory.size() > 1 && (directory.back() == u'\\' || directory.back() == u'/'))
    directory.pop_back();
  // Both files are tried: one that fails does not keep the other from
  // offering the templates.
  bool recorded = true;
  const bool files[] = {false, true};
  // The per-user file is written unless the list is the all-users one's;
  // the all-users file only when it exists.
  auto written = [this](bool base) { return base ? baseConfigExists : !listFromBaseConfig; };
  for (bool base : files) {
    readTemplateList();
    if (!written(base)) continue;
    const std::u16string path = base ? get_local_config_file_path_base() : get_local_config_file_path();
    const std::string file = narrow_lib(path);
    // The list is read again under the lock: another wizard may have
    // recorded its directory since this one started.
    LauncherFileLock lock;
    const uint32_t locked = lock.acquire(path);
    if (locked != ERROR_SUCCESS)
      log_event(error_event("warning " + file + ": updated without waiting for other wizards", locked));
    readTemplateList();
    if (!written(base)) continue;
    // Each file gets its own list: the alternate one keeps its entries.
    std::list<std::u16string> list;
    if (base)
      get_tmplts_list(list, true, true);
    else
      list = tmpltsList;
    list.push_front(directory);
    try {
      set_tmplts_list(list, base);
      log_event("recorded " + narrow_lib(directory) + " first in " + file);
    } catch (int code) {
      log_event(error_event("error " + file + ": the launcher's file cannot be updated",
                            uint32_t(code)));
      recorded = false;
    } catch (...) {
      log_event("error " + file + ": the launcher's file cannot be updated");
      recorded = false;
    }
  }
  return recorded;
}

// The templates are in place whatever happens here; a launcher that cannot
// learn of them is worth a warning and its own exit status, not a failure.
int CInstallerDlg::finishSuccessfulRun() {
  if (recordTemplateDirectory()) return kExitSuccess;
  messageBox(this, LoadResString("IDS_WARN_LAUNCHERFILE"), kPlainBoxFlags);
  return kExitLauncherNotUpdated;
}

bool CInstallerDlg::updateProgress() {
  Installer installer;
  installer.run(&processData);
  return false;
}

void CInstallerDlg::refreshProgress() {
  if (!inProgressLoop || !progressPage) return;
  RunReport report;
  processData.getReport(report);
  showRunReport(report);
}

// The bar follows the entries, and during a rollback counts the restoring
// down; under it the entry being written and how far the run is.
void CInstallerDlg::showRunReport(const RunReport& report) {
  if (report.phase == RunPhase::kRestoring) {
    progressPage->setRestoring(report.restoreLeft, report.restoreTotal);
    if (!restoring) {
      restoring = true;
      gtk_widget_set_sensitive(buttonCancel, FALSE);
    }
    return;
  }
  progressPage->setProgress(report.progress);
  if (report.phase == RunPhase::kCopying && report.code == 0 && report.progress < 100)
    progressPage->setCurrentEntry(report.entryName,
                                  FormatResString("IDS_PROGRESS_COUNT",
                                                  {count_text(report.entry + 1),
                                                   count_text(report.entries)}));
}

void CInstallerDlg::waitForWorker() { installThread.join(); }

// Before the run: a stopped installation found in the directory is put
// right and the user told, and a directory that another installation holds
// (or one around it) is refused before anything is changed. The run itself
// takes the directory's lock; a wizard that starts in between makes it fail
// as busy.
bool CInstallerDlg::lockTargetDirectory() {
  for (const RecoveryNotice& notice : recover_directory(targetPath))
    messageBox(this, recovery_notice_text(notice), kMessageBoxOk);
  if (!target_is_busy(targetPath)) return true;
  log_event("error " + narrow_lib(targetPath) + ": another installation holds the directory");
  // Nothing has been changed: the wizard ends as after a failed check.
  messageBox(this, LoadResString("IDS_ERROR_TARGETBUSY"), kErrorBoxFlags);
  exitStatus = kExitStartupFailed;
  return false;
}

void CInstallerDlg::stopOnSignal() {
  if (!inProgressLoop) return;
  closeWhenDone = true;
  if (!cancelRequested) {
    cancelRequested = true;
    processData.setCancel(true);
  }
  close_open_message_box();
}


// The folder and the counts under the sentence; replaced copies and kept
// newer files only when there were any.
std::u16string CInstallerDlg::successSummary(const char16_t* separator) {
  std::u16string text = LoadResString("IDS_TEMPLATE_CATALOG") + u" " + printable(targetPath) + separator +
                        FormatResString("IDS_SUMMARY_INSTALLED", {count_text(lastRun.installed)});
  if (lastRun.replaced > 0 || separator[0] != u'\n')
    text += separator + FormatResString("IDS_SUMMARY_REPLACED", {count_text(lastRun.replaced)});
  if (lastRun.kept > 0 || separator[0] != u'\n')
    text += separator + FormatResString("IDS_SUMMARY_KEPT", {count_text(lastRun.kept)});
  return text;
}

void CInstallerDlg::showSuccessFinalPage() {
  state = kStateSuccess;
  const std::u16string text = LoadResString("IDS_SUCCESS_FINISH") + u"\n\n" + successSummary(u"\n");
  if (!successPage)
    successPage = new SuccessFinalPage(fixed, backImage, text);
  successPage->setMessage(text);
  successPage->layoutCheckBox();
  setFinishButtons();
  setCurPage(successPage);
  // Nothing to open: no check box that promises it.
  if (descriptionDocumentPath().empty()) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(successPage->checkBox), FALSE);
    gtk_widget_hide(successPage->checkBox);
  }
}

void CInstallerDlg::showErrorFinalPage() {
  // Under the sentence, the file and the reason of the failed run (its
  // report without the leading "Installation error").
  std::u16string text = LoadResString("IDS_ERROR_FINISH");
  const size_t firstLineEnd = lastRun.message.find(u'\n');
  if (lastRun.code != 0 && firstLineEnd != std::u16string::npos)
    text += u"\n\n" + lastRun.message.substr(firstLineEnd + 1);
  if (!errorPage) errorPage = new MessagePage(fixed, backImage, text);
  errorPage->setMessage(text);
  state = kStateError;
  setFinishButtons();
  // The run was rolled back and the kit is still open: Back lets the user
  // try another folder instead of starting the wizard again.
  if (!silentMode) {
    gtk_widget_show(buttonPrev);
    gtk_widget_set_sensitive(buttonPrev, TRUE);
  }
  setCurPage(errorPage);
}

void CInstallerDlg::showCancelFinalPage() {
  if (!cancelPage)
    cancelPage = new MessagePage(fixed, backImage, LoadResString("IDS_CANCEL_FINISH"));
  state = kStateCancelled;
  setFinishButtons();
  setCurPage(cancelPage);
}

void CInstallerDlg::setFinishButtons() {
  gtk_widget_set_sensitive(buttonNext, TRUE);
  gtk_widget_set_sensitive(buttonCancel, FALSE);
  gtk_widget_hide(buttonPrev);
  gtk_widget_show(buttonNext);
  setLabel(buttonNext, "IDS_WIZARD_FINISH");
  gtk_widget_grab_default(buttonNext);
}

std::u16string CInstallerDlg::descriptionDocumentPath() {
  // The same preference as the welcome page's names, skipping descriptions
  // without a document.
  std::u16string name;
  for (const config::KitDescription* description : descriptionsByPreference()) {
    if (!description->descriptionPath.empty()) {
      name = description->descriptionPath;
      break;
    }
  }
  if (name.empty()) return std::u16string();
  std::u16string path = joinDirectoryAndName(targetPath, name);
  replace_all(path, kBadPathSeparator, kPathSeparator);
  if (!file_exists(path)) return std::u16string();
  return documentInsideDirectory(path, targetPath);
}

void CInstallerDlg::finalize() {
  if (state != kStateSuccess && state != kStateError && state != kStateCancelled) return;
  if (state == kStateSuccess && successPage && successPage->isShowReadmeChecked()) {
    const std::u16string document = descriptionDocumentPath();
    if (!document.empty()) open_document(narrow_lib(document));
  }
  destroyMainWindow();
}

// ---------------------------------------------------------------- cancel

// While the question is open the run waits before its next entry, so that
// the bar shows where it stands; the answer lets it go on or cancels it.
bool CInstallerDlg::askCancel() {
  const bool running = state == kStateProgress && inProgressLoop;
  if (running) processData.setPaused(true);
  const bool yes =
      messageBox(this, LoadResString("IDS_ACCEPT_CANCEL"), kQuestionBoxFlags) == kMessageBoxResultYes;
  if (running) {
    if (yes && !cancelRequested && inProgressLoop) {
      cancelRequested = true;
      processData.setCancel(true);
    }
    processData.setPaused(false);
  }
  return yes;
}

void CInstallerDlg::processCancel() {
  if (restoring && state == kStateProgress) return;
  GtkWidget* before = focusedWidget();
  if (!askCancel()) {
    restoreFocus(before);
    return;
  }
  if (state == kStateProgress && inProgressLoop) {
    cancelAndCloseWhenDone();
    return;
  }
  if (state == kStateWelcome || state == kStateDirectory) exitStatus = kExitCancelled;
  destroyMainWindow();
}

// The run and its rollback end first; the window closes after them.
void CInstallerDlg::cancelAndCloseWhenDone() {
  if (!cancelRequested) {
    cancelRequested = true;
    processData.setCancel(true);
  }
  closeWhenDone = true;
  gtk_widget_set_sensitive(buttonCancel, FALSE);
}

void CInstallerDlg::abortInstall() {
  if (cancelRequested || restoring || !inProgressLoop) return;
  GtkWidget* before = focusedWidget();
  if (!askCancel()) {
    restoreFocus(before);
    return;
  }
  // The box may have been open while the run ended.
  if (state != kStateProgress || !inProgressLoop) return;
  gtk_widget_set_sensitive(buttonCancel, FALSE);
}

bool CInstallerDlg::processKeyPress(GdkEventKey* event) {
  if (event->keyval != GDK_Escape) return false;
  processCancel();
  return true;
}

bool CInstallerDlg::processDeleteEvent() {
  if (state == kStateProgress && inProgressLoop) {
    cancelAndCloseWhenDone();
    return true;
  }
  if (state == kStateWelcome || state == kStateDirectory) exitStatus = kExitCancelled;
  return false;
}

// ---------------------------------------------------------------- handlers

void CInstallerDlg::on_buttonPrev_clicked(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  if (!self) return;
  if (self->state == kStateDirectory) self->showWelcomePage();
  if (self->state == kStateError) self->showSelectPathPage();
}

void CInstallerDlg::on_buttonNext_clicked(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  if (!self) return;
  switch (self->state) {
    case kStateWelcome:
      self->showSelectPathPage();
      break;
    case kStateDirectory: {
      std::u16string path = self->dirSelectPage->getPath();
      replace_all(path, kBadPathSeparator, kPathSeparator);
      if (path.empty()) {
        messageBox(self, LoadResString("IDS_SETUP_EMPTYTARGET"), kPlainBoxFlags);
        self->focusOnArrival();  // back into the path field
        break;
      }
      if (!self->acceptTargetPath(path)) {
        self->focusOnArrival();
        break;
      }
      self->targetPath = path;
      self->showProgressPage();
      break;
    }
    case kStateSuccess:
    case kStateError:
    case kStateCancelled:
      self->finalize();
      break;
    default:
      break;
  }
}

// "~" expanded and a relative path made absolute; a path that is a file, or
// a folder that cannot be made or written, is refused with a box that says
// which, naming the path.
bool CInstallerDlg::acceptTargetPath(std::u16string& path) {
  char buffer[PATH_MAX] = {};
  const std::u16string cwd = getcwd(buffer, sizeof(buffer)) ? widen_lib(buffer) : u"/";
  path = absoluteTargetPath(path, home_dir(), cwd);
  const char* refusal = nullptr;
  switch (checkTargetDirectory(path)) {
    case TargetCheck::kUsable: {
      dirSelectPage->setPath(path);
      // Too little room: the run would fail at a full disk and roll back.
      uint64_t freeBytes = 0;
      if (!dirSelectPage->freeSpace(freeBytes) || freeBytes >= kitFilesBytes()) return true;
      // Files already up to date are not written again.
      const uint64_t needed = bytesToWrite(path);
      if (freeBytes >= needed) return true;
      log_event("refused " + narrow_lib(path) + ": " + std::to_string(freeBytes) + " bytes free, " +
                std::to_string(needed) + " needed");
      messageBox(this,
                 LoadResString("IDS_SETUP_NOSPACE") + u"\n" + printable(path) + u"\n" +
                     FormatResString("IDS_SPACE_INFO",
                                     {sizeText(needed, true), sizeText(freeBytes, false)}),
                 kErrorBoxFlags);
      return false;
    }
    case TargetCheck::kNotAFolder:
      refusal = "IDS_SETUP_TARGETNOTFOLDER";
      break;
    case TargetCheck::kNotWritable:
      refusal = "IDS_SETUP_TARGETNOTWRITABLE";
      break;
  }
  messageBox(this, LoadResString(refusal) + u"\n" + printable(path), kErrorBoxFlags);
  return false;
}

void CInstallerDlg::button_clicked_handler(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  if (!self) return;
  if (self->state == kStateProgress)
    self->abortInstall();
  else
    self->processCancel();
}

gboolean CInstallerDlg::gtk_window_key_press_callback(GtkWidget*, GdkEventKey* event,
                                                      void* dialog) {
  if (!dialog) return FALSE;
  return static_cast<CInstallerDlg*>(dialog)->processKeyPress(event) ? TRUE : FALSE;
}

gboolean CInstallerDlg::on_window_delete(GtkWidget*, GdkEvent*, void* dialog) {
  return static_cast<CInstallerDlg*>(dialog)->processDeleteEvent() ? TRUE : FALSE;
}

void CInstallerDlg::on_window_destroy(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  self->mainWindow = nullptr;
  self->fixed = nullptr;
  self->separator = nullptr;
  // Silent mode never enters the main loop.
  if (gtk_main_level() > 0) gtk_main_quit();
}
