// The installation wizard's window: a view of an InstallationSession. It
// shows the pages Welcome, Directory, Progress, then Success, Error or
// Cancelled, with the Back, Next and Cancel buttons, passes on what the user
// chooses and asks, and shows the session's texts in pages and boxes. What
// an installation is (checks, the run, cancellation, the launcher's file,
// the exit status) is the session's.
//
// Silent mode runs the installation at once into the proposed directory;
// its error boxes still wait for the user under a display (their text also
// goes to standard error).
#ifndef OVN8_UI_INSTALLER_DLG_H_
#define OVN8_UI_INSTALLER_DLG_H_

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "install/installation_session.h"
#include "ui/cwnd.h"
#include "ui/wizard_faces.h"
#include "ui/wizard_pages.h"

// Wizard states.
enum WizardState : int {
  kStateNone = 0,
  kStateWelcome = 1,
  kStateDirectory = 2,
  kStateProgress = 3,
  kStateSuccess = 4,
  kStateError = 5,
  kStateCancelled = 6,  // final page after a cancelled run
  kStateMaintenance = 7,  // the chosen directory holds this kit: repair, remove or install
  kStateMaintained = 8,   // final page after a repair or a removal
};

// Takes the toolkit's own options (--display=..., --sync) out of the
// command line without opening a display.
void take_toolkit_options(int& argc, char**& argv);

// Runs the wizard on `session`: in a window when a display can be opened
// (and not unattended), else headless (ui/headless_run.h). `notices` (the
// recovery of stopped installations at start) are shown first. The exit
// status (WizardExitCode).
int run_installer_wizard(InstallationSession& session, const WizardFaces& faces,
                         const std::vector<SessionMessage>& notices, int& argc, char**& argv,
                         const std::string& title);

class CInstallerDlg : public CWnd, private SessionView {
 public:
  // The toolkit must be started. `title`: window and box title, UTF-8.
  CInstallerDlg(InstallationSession& session, bool silent, const std::string& title);
  ~CInstallerDlg() override;
  CInstallerDlg(const CInstallerDlg&) = delete;
  CInstallerDlg& operator=(const CInstallerDlg&) = delete;

  // Runs the wizard; returns its exit status (WizardExitCode).
  int DoModal();
  // The session's start-up checks, with the preparing window while the kit
  // opens; false (after the box that says why) when the wizard must not start.
  bool OnInitDialog();
  std::u16string getWindowTitle() override;
  GtkWidget* getWindowWidget() override;

  // The window and its pages (ui/wizard_window.cpp).
  void showMainWindow();
  void showWelcomePage();
  void showSelectPathPage();
  void showProgressPage();
  void showSuccessFinalPage();
  void showErrorFinalPage();
  void showCancelFinalPage();
  // ui/maintenance_flow.cpp: the choice offered for a directory that holds
  // an installation of this kit, the repair or removal run and its page.
  void showMaintenancePage();
  void showMaintainedFinalPage();
  // The progress page as during a run at `report` (the run's own pages
  // come through the session; pictures and layout checks show it so).
  void showRunPage(const RunReport& report);
  int exitCode() const { return exitStatus; }
  int currentState() const { return state; }
  WizardDialogPage* currentPage() const { return curPage; }
  GdkPixbuf* banner() const { return backImage; }
  GtkWidget* container() const { return fixed; }

  // The window's client area.
  static constexpr int width = 500;
  static constexpr int height = 360;

  // The window's parts while it exists; pages once first shown.
  GtkWidget* mainWindow = nullptr;
  GtkWidget* buttonPrev = nullptr;
  GtkWidget* buttonNext = nullptr;
  GtkWidget* buttonCancel = nullptr;
  MessagePage* welcomePage = nullptr;
  DirSelectPage* dirSelectPage = nullptr;
  ProgressPage* progressPage = nullptr;
  SuccessFinalPage* successPage = nullptr;
  MessagePage* errorPage = nullptr;
  MessagePage* cancelPage = nullptr;
  MaintenancePage* maintenancePage = nullptr;
  MessagePage* maintainedPage = nullptr;

 private:
  // SessionView: the run as it goes on.
  void showNotice(const SessionMessage& notice) override;
  void runStarted() override;
  void showReport(const RunReport& report) override;

  // ui/wizard_window.cpp: building the window and moving between pages.
  void initMainWindow();
  void layoutButtons();
  void setCurPage(WizardDialogPage* page);
  GtkWidget* arrivalFocus();
  void focusOnArrival();
  void restoreFocus(GtkWidget* before);
  GtkWidget* focusedWidget();
  void setFinishButtons();
  void setLabel(GtkWidget* button, const char* key);
  void destroyMainWindow();

  // The bar at 100 % for a moment before the final page.
  void holdFinishedBar();
  void showOutcome(const SessionOutcome& outcome);
  // Next on the directory page.
  void acceptDirectory();
  // Next on the maintenance page: the chosen run (a removal once confirmed).
  void acceptMaintenanceChoice();
  // What the run on the progress page is.
  enum class Job { kInstall, kRepair, kRemove };
  // Runs `job` on the progress page and shows how it ended.
  void runJob(Job job);
  // Finish: may open the description document, then closes the window.
  void finalize();
  // Cancel, Escape and the close button (see .cpp).
  void requestLeave();
  // Cancel during the run: asks, and on Yes the run stops after its
  // current entry and rolls back.
  void abortInstall();
  // The cancel question; the run pauses while it is open.
  bool askCancel();
  bool processKeyPress(GdkEventKey* event);
  // Shows the run's latest report, also from inside an open box's loop.
  void refreshProgress();
  void showRunReport(const RunReport& report);
  void takeStopSignal();
  void showBox(const std::u16string& text, unsigned flags);

  static void on_buttonPrev_clicked(GtkWidget* widget, void* dialog);
  static void on_buttonNext_clicked(GtkWidget* widget, void* dialog);
  static void button_clicked_handler(GtkWidget* widget, void* dialog);
  static gboolean gtk_window_key_press_callback(GtkWidget* widget, GdkEventKey* event, void* dialog);
  static gboolean on_window_delete(GtkWidget* widget, GdkEvent* event, void* dialog);
  static void on_window_destroy(GtkWidget* widget, void* dialog);
  static gboolean on_wake(gpointer dialog);

  InstallationSession& session;
  const bool silentMode;
  const std::string title;
  int state = kStateNone;
  int exitStatus = kExitStartupFailed;
  WizardDialogPage* curPage = nullptr;
  GdkPixbuf* backImage = nullptr;
  GdkPixbuf* icon = nullptr;
  GtkWidget* fixed = nullptr;
  GtkWidget* separator = nullptr;
  // The run is putting the template directory back: nothing is left to
  // cancel, so Cancel and Escape do nothing until it has ended.
  bool restoring = false;
  Job job = Job::kInstall;
  // A stop signal while the run goes on: close once it has ended instead
  // of showing a final page.
  bool closeWhenDone = false;
  guint wakeSource = 0;
};

#endif  // OVN8_UI_INSTALLER_DLG_H_
