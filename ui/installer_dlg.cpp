#include "ui/installer_dlg.h"

#include <gdk/gdkkeysyms.h>

#include "platform/message_box.h"
#include "platform/message_box_dialog.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/document_opener.h"
#include "ui/headless_run.h"
#include "ui/kit_preparation.h"
#include "ui/toolkit_language.h"
#include "ui/wizard_front.h"

namespace {

const unsigned kErrorBoxFlags = kMessageBoxError | kMessageBoxOk;
const unsigned kQuestionBoxFlags = kMessageBoxQuestion | kMessageBoxYesNo;
const unsigned kPlainBoxFlags = kMessageBoxOk;
const unsigned kWarningBoxFlags = kMessageBoxWarning | kMessageBoxOk;
// How often the progress loop wakes up when nothing else happens.
const guint kProgressWakeMs = 40;
// How long the finished bar stays before the final page: long enough to be
// seen, short enough not to be waited for.
const guint kFinishedBarMs = 600;

unsigned box_flags(const SessionMessage& message) {
  return message.error ? kErrorBoxFlags : kPlainBoxFlags;
}

}  // namespace

// The wizard sets the locale itself, before any thread exists.
void take_toolkit_options(int& argc, char**& argv) {
  gtk_disable_setlocale();
  gtk_parse_args(&argc, &argv);
}

int run_installer_wizard(InstallationSession& session, const WizardFaces& faces,
                         const std::vector<SessionMessage>& notices, int& argc, char**& argv,
                         const std::string& title) {
  // Without a display the toolkit stays untouched: silent mode then runs
  // headless, and every box becomes a line on standard error.
  const bool withDisplay = !faces.unattended && gtk_init_check(&argc, &argv);
  if (!withDisplay) return run_without_window(session, faces, notices, title);
  session.setWithDisplay(true);
  speak_toolkit_language(narrow_lib(session.settings().languageCode));
  CInstallerDlg dialog(session, faces.silent, title);
  // The user hears of each once.
  for (const SessionMessage& notice : notices) messageBox(&dialog, notice.text, box_flags(notice));
  return dialog.DoModal();
}

const WizardFront& window_front() {
  static const WizardFront front = {take_toolkit_options, run_installer_wizard};
  return front;
}

CInstallerDlg::CInstallerDlg(InstallationSession& session, bool silent, const std::string& title)
    : session(session), silentMode(silent), title(title) {
  // A silent run under a display still waits for its error boxes (someone
  // is there to read why nothing was installed); the same lines go to
  // standard error for whoever started it from a script.
  set_message_box_echo(silentMode);
  set_message_box_button_texts({LoadResString("IDS_MSGBOX_YES"), LoadResString("IDS_MSGBOX_NO"),
                                LoadResString("IDS_MSGBOX_OK")});
  set_message_box_kind_names({LoadResString("IDS_BOX_ERROR"), LoadResString("IDS_BOX_QUESTION"),
                              LoadResString("IDS_BOX_WARNING"), LoadResString("IDS_BOX_NOTICE")});
}

CInstallerDlg::~CInstallerDlg() {
  destroyMainWindow();
  delete welcomePage;
  delete dirSelectPage;
  delete progressPage;
  delete successPage;
  delete errorPage;
  delete cancelPage;
  delete maintenancePage;
  delete maintainedPage;
  if (backImage) g_object_unref(backImage);
  if (icon) g_object_unref(icon);
}

std::u16string CInstallerDlg::getWindowTitle() { return widen_lib(title); }

GtkWidget* CInstallerDlg::getWindowWidget() { return mainWindow; }

void CInstallerDlg::showBox(const std::u16string& text, unsigned flags) {
  messageBox(this, text, flags);
}

// A kit that takes a while to open shows the preparing window meanwhile.
bool CInstallerDlg::OnInitDialog() {
  KitPreparation preparation(title);
  SessionMessage refusal;
  const bool started = session.start(
      [&preparation](const std::function<uint32_t()>& open) { return preparation.run(open); },
      refusal);
  if (!started) showBox(refusal.text, box_flags(refusal));
  return started;
}

int CInstallerDlg::DoModal() {
  exitStatus = kExitStartupFailed;
  if (!OnInitDialog()) return exitStatus;
  showMainWindow();
  showWelcomePage();
  // Until an installation has run, leaving the wizard is a cancellation.
  exitStatus = kExitCancelled;
  if (silentMode) {
    showProgressPage();
    destroyMainWindow();
    return exitStatus;
  }
  gtk_main();
  return exitStatus;
}

// ---------------------------------------------------------------- the run

void CInstallerDlg::showProgressPage() { runJob(Job::kInstall); }

void CInstallerDlg::runJob(Job chosen) {
  closeWhenDone = false;
  restoring = false;
  job = chosen;
  const SessionOutcome outcome = job == Job::kRepair   ? session.repair(*this)
                                 : job == Job::kRemove ? session.remove(*this)
                                                       : session.install(*this);
  if (wakeSource) g_source_remove(wakeSource);
  wakeSource = 0;
  // Whoever sent a stop signal wants the wizard gone, not a final page.
  if (stop_requested()) closeWhenDone = true;
  showOutcome(outcome);
  // Escape answered with Yes, or the window closed, while the run went on.
  if (closeWhenDone) destroyMainWindow();
}

void CInstallerDlg::showNotice(const SessionMessage& notice) { showBox(notice.text, box_flags(notice)); }

void CInstallerDlg::runStarted() {
  showRunPage(RunReport());
  wakeSource = gdk_threads_add_timeout(kProgressWakeMs, on_wake, this);
}

void CInstallerDlg::showRunPage(const RunReport& report) {
  if (!progressPage) progressPage = new ProgressPage(fixed, width - 20);
  progressPage->setTarget(session.targetDirectory());
  if (job == Job::kRepair)
    progressPage->setJob("IDS_MAINT_REPAIRING", "IDS_MAINT_REPAIR_RUN", "IDS_MAINT_REPAIRED");
  else if (job == Job::kRemove)
    progressPage->setJob("IDS_MAINT_REMOVING", "IDS_MAINT_REMOVE_RUN", "IDS_MAINT_REMOVED");
  else
    progressPage->setJob("IDS_TITLE_INSTALLER", "IDS_PROGRESS_START", "IDS_INSTALL_FINISH");
  gtk_widget_set_sensitive(buttonPrev, FALSE);
  gtk_widget_set_sensitive(buttonNext, FALSE);
  gtk_widget_set_sensitive(buttonCancel, TRUE);
  setCurPage(progressPage);
  state = kStateProgress;
  showRunReport(report);
}

void CInstallerDlg::showReport(const RunReport& report) {
  takeStopSignal();
  showRunReport(report);
  if (report.phase != RunPhase::kEnded) gtk_main_iteration();
}

void CInstallerDlg::showOutcome(const SessionOutcome& outcome) {
  exitStatus = outcome.exitStatus;
  switch (outcome.end) {
    case SessionOutcome::End::kInstalled:
      if (!closeWhenDone) {
        holdFinishedBar();
        showSuccessFinalPage();
      }
      if (!outcome.warning.empty() && !closeWhenDone) showBox(outcome.warning, kWarningBoxFlags);
      return;
    case SessionOutcome::End::kCancelled:
      if (!closeWhenDone) showCancelFinalPage();
      return;
    case SessionOutcome::End::kFailed:
      if (closeWhenDone) return;
      showBox(outcome.message.text, kErrorBoxFlags);
      showErrorFinalPage();
      return;
    case SessionOutcome::End::kRefused:
      // Nothing has been changed. A person may choose another folder or
      // try again later; a silent run ends as after a failed check.
      showBox(outcome.message.text, box_flags(outcome.message));
      if (silentMode || !mainWindow) {
        destroyMainWindow();
        return;
      }
      exitStatus = kExitCancelled;
      showSelectPathPage();
      return;
    case SessionOutcome::End::kRepaired:
    case SessionOutcome::End::kRemoved:
      if (closeWhenDone) return;
      holdFinishedBar();
      showMaintainedFinalPage();
      return;
  }
}

void CInstallerDlg::holdFinishedBar() {
  if (!progressPage || !mainWindow) return;
  progressPage->setProgress(100);
  gtk_widget_set_sensitive(buttonCancel, FALSE);
  bool held = true;
  const guint source = gdk_threads_add_timeout(
      kFinishedBarMs, [](gpointer flag) -> gboolean { return *static_cast<bool*>(flag) = FALSE; }, &held);
  while (held && mainWindow) gtk_main_iteration();
  if (held) g_source_remove(source);
}

// A stop signal during the run: the session cancels the run; an open box
// closes and the window goes once the rollback has ended.
void CInstallerDlg::takeStopSignal() {
  if (!stop_requested() || closeWhenDone) return;
  closeWhenDone = true;
  session.requestCancel();
  close_open_message_box();
}

void CInstallerDlg::refreshProgress() {
  if (!session.running() || !progressPage) return;
  takeStopSignal();
  RunReport report;
  session.latestReport(report);
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
  if (report.phase == RunPhase::kCopying && report.code == 0 && report.entry >= 0 &&
      report.progress < 100)
    progressPage->setCurrentEntry(
        report.entryName,
        FormatResString("IDS_PROGRESS_COUNT", {widen_lib(std::to_string(report.entry + 1)),
                                               widen_lib(std::to_string(report.entries))}));
}

// Also runs inside the loop of an open message box: the page still shows
// where the run stands, and a stop signal still reaches the run.
gboolean CInstallerDlg::on_wake(gpointer dialog) {
  static_cast<CInstallerDlg*>(dialog)->refreshProgress();
  return TRUE;
}

// ---------------------------------------------------------------- the user

void CInstallerDlg::acceptDirectory() {
  const std::u16string typed = dirSelectPage->getPath();
  if (typed.empty()) {
    showBox(LoadResString("IDS_SETUP_EMPTYTARGET"), kPlainBoxFlags);
    focusOnArrival();  // back into the path field
    return;
  }
  std::u16string chosen;
  SessionMessage refusal;
  const bool accepted = session.chooseDirectory(typed, chosen, refusal);
  dirSelectPage->setPath(chosen);
  if (!accepted) {
    showBox(refusal.text, box_flags(refusal));
    focusOnArrival();
    return;
  }
  if (session.installedKit().present)
    showMaintenancePage();
  else
    showProgressPage();
}

void CInstallerDlg::finalize() {
  if (state != kStateSuccess && state != kStateError && state != kStateCancelled && state != kStateMaintained)
    return;
  if (state == kStateSuccess && successPage && successPage->isShowReadmeChecked()) {
    const std::u16string document = session.descriptionDocumentPath();
    if (!document.empty()) open_document(narrow_lib(document));
  }
  destroyMainWindow();
}

// While the question is open the run waits before its next entry, so that
// the bar shows where it stands; the answer lets it go on or cancels it.
bool CInstallerDlg::askCancel() {
  session.pauseRun(true);
  const char* question = job == Job::kInstall || state != kStateProgress ? "IDS_ACCEPT_CANCEL" : "IDS_MAINT_ACCEPT_CANCEL";
  const bool yes = messageBox(this, LoadResString(question), kQuestionBoxFlags) ==
                   kMessageBoxResultYes;
  if (yes) session.requestCancel();
  session.pauseRun(false);
  return yes;
}

// Cancel, Escape and the window's close button ask one thing: before the
// run, whether to leave (Yes ends the wizard as cancelled); during the run,
// whether to cancel it (Yes rolls it back and shows the cancelled page);
// once it has ended, nothing: the window closes. While the directory is
// being put back nothing can be cancelled.
void CInstallerDlg::requestLeave() {
  switch (state) {
    case kStateProgress:
      abortInstall();
      return;
    case kStateSuccess:
    case kStateError:
    case kStateCancelled:
    case kStateMaintained:
      destroyMainWindow();
      return;
    default:
      break;
  }
  GtkWidget* before = focusedWidget();
  if (!askCancel()) {
    restoreFocus(before);
    return;
  }
  exitStatus = kExitCancelled;
  destroyMainWindow();
}

void CInstallerDlg::abortInstall() {
  if (session.cancelRequested() || restoring || !session.running()) return;
  GtkWidget* before = focusedWidget();
  if (!askCancel()) {
    restoreFocus(before);
    return;
  }
  // The box may have been open while the run ended.
  if (session.running()) gtk_widget_set_sensitive(buttonCancel, FALSE);
}

bool CInstallerDlg::processKeyPress(GdkEventKey* event) {
  if (event->keyval != GDK_Escape) return false;
  requestLeave();
  return true;
}

// ---------------------------------------------------------------- handlers

void CInstallerDlg::on_buttonPrev_clicked(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  if (!self) return;
  if (self->state == kStateDirectory) self->showWelcomePage();
  if (self->state == kStateError || self->state == kStateMaintenance) self->showSelectPathPage();
}

void CInstallerDlg::on_buttonNext_clicked(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  if (!self) return;
  switch (self->state) {
    case kStateWelcome:
      self->showSelectPathPage();
      break;
    case kStateDirectory:
      self->acceptDirectory();
      break;
    case kStateMaintenance:
      self->acceptMaintenanceChoice();
      break;
    case kStateSuccess:
    case kStateError:
    case kStateCancelled:
    case kStateMaintained:
      self->finalize();
      break;
    default:
      break;
  }
}

void CInstallerDlg::button_clicked_handler(GtkWidget*, void* dialog) {
  if (dialog) static_cast<CInstallerDlg*>(dialog)->requestLeave();
}

gboolean CInstallerDlg::gtk_window_key_press_callback(GtkWidget*, GdkEventKey* event, void* dialog) {
  if (!dialog) return FALSE;
  return static_cast<CInstallerDlg*>(dialog)->processKeyPress(event) ? TRUE : FALSE;
}

// The window stays; requestLeave closes it when that is the answer.
gboolean CInstallerDlg::on_window_delete(GtkWidget*, GdkEvent*, void* dialog) {
  static_cast<CInstallerDlg*>(dialog)->requestLeave();
  return TRUE;
}

void CInstallerDlg::on_window_destroy(GtkWidget*, void* dialog) {
  CInstallerDlg* self = static_cast<CInstallerDlg*>(dialog);
  self->mainWindow = nullptr;
  self->fixed = nullptr;
  self->separator = nullptr;
  // Silent mode never enters the main loop.
  if (gtk_main_level() > 0) gtk_main_quit();
}
