// The installation wizard: the main window with its Back, Next and Cancel
// buttons, the page sequence Welcome, Directory, Progress, then Success,
// Error or Cancelled, the start-up checks, the progress loop that waits for
// the worker thread, and the recording of the new template directory in the
// launcher's configuration.
//
// Silent mode runs the installation at once into the proposed directory.
// With a display it shows the window, and an error box waits for the user
// (its text also goes to standard error); without one (or when the toolkit
// cannot start) it runs headless: boxes become lines on standard error and
// every kit entry a progress line on standard output.
#ifndef OVN8_UI_INSTALLER_DLG_H_
#define OVN8_UI_INSTALLER_DLG_H_

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "install/install_process_data.h"
#include "install/install_thread.h"
#include "ui/cwnd.h"
#include "ui/wizard_paths.h"
#include "ui/wizard_pages.h"

// Exit status of the program, as DoModal returns it.
enum WizardExitCode : int {
  kExitSuccess = 0,           // installed (or nothing was left to do)
  kExitStartupFailed = 1,     // kit missing or damaged, not enough space, no target
  kExitInstallFailed = 2,     // the installation failed and was rolled back
  kExitCancelled = 3,         // the user cancelled
  kExitLauncherNotUpdated = 4,  // installed, but the launcher's file could not be updated
};

// Wizard states (the `state` member).
enum WizardState : int {
  kStateNone = 0,
  kStateWelcome = 1,
  kStateDirectory = 2,
  kStateProgress = 3,
  kStateSuccess = 4,
  kStateError = 5,
  kStateCancelled = 6,  // final page after a cancelled run
};

class CInstallerDlg : public CWnd, public InstallWorker {
 public:
  CInstallerDlg(int argc, char** argv, bool silent, const std::string& title,
                const std::u16string& languageCode, bool useCurrentDirectory);
  ~CInstallerDlg() override;
  CInstallerDlg(const CInstallerDlg&) = delete;
  CInstallerDlg& operator=(const CInstallerDlg&) = delete;

  // Runs the wizard; returns its exit status (WizardExitCode).
  int DoModal();

  // The template directory of this run (--target): installed into in silent
  // mode, proposed on the directory page otherwise. Call before DoModal.
  void setTargetDirectory(const std::u16string& directory) { targetOverride = directory; }

  // The checks before any window opens; false when the wizard must not start.
  bool OnInitDialog();
  // Where the kit is expected: beside the executable, or in the current
  // directory with `useCurrentDir`; empty when that cannot be determined.
  std::u16string getOkdFullPath();
  void showMainWindow();
  void initMainWindow();
  GdkPixbuf* createIcon();
  GdkPixbuf* createBackImage();
  // Sizes and places Back, Next and Cancel for their labels (see .cpp).
  void layoutButtons();
  // Shows the page and gives it the focus (focusOnArrival).
  void setCurPage(WizardDialogPage* page);
  // The widget that gets the focus when a page opens: the page's own (the
  // path field), else Next or Finish, else Cancel; null when none can.
  GtkWidget* arrivalFocus();
  void focusOnArrival();
  // After a box: the focus goes back to `before` (focusOnArrival when that
  // was Cancel or is gone).
  void restoreFocus(GtkWidget* before);
  GtkWidget* focusedWidget();
  // Product and vendor names of the kit's description for `langCode`, else
  // of its English one, else of its first; empty without descriptions.
  void titles(std::u16string& product, std::u16string& vendor);
  // The kit's descriptions in that order of preference, each once.
  std::vector<const config::KitDescription*> descriptionsByPreference();
  std::u16string getWindowTitle() override;
  GtkWidget* getWindowWidget() override;

  // Page transitions.
  void showWelcomePage();
  void showSelectPathPage();
  void showProgressPage();
  void showSuccessFinalPage();
  void showErrorFinalPage();
  void showCancelFinalPage();
  void setFinishButtons();
  // Next on the directory page: makes `path` absolute ("~", relative) and
  // refuses, with a box, a file or a folder that cannot be made or written.
  bool acceptTargetPath(std::u16string& path);
  // The bytes of all the kit's files: what the run may write at most.
  uint64_t kitFilesBytes() const;
  // The bytes a run into `directory` would write: files missing or older.
  uint64_t bytesToWrite(const std::u16string& directory) const;
  // Finish: may open the description document, then closes the window.
  void finalize();
  // Cancel outside the progress page, and Escape: asks, and ends on Yes.
  void processCancel();
  // Cancel on the progress page: asks, and on Yes lets the run stop after
  // its current entry and roll back.
  void abortInstall();
  // Escape answered Yes, or the window closed, during the run.
  void cancelAndCloseWhenDone();
  bool processKeyPress(GdkEventKey* event);
  // The window manager's close button; true keeps the window.
  bool processDeleteEvent();

  // A stop signal arrived during the run: cancel it, close an open box,
  // and close the window once the rollback has ended.
  void stopOnSignal();

  // Shows the run's latest report on the progress page (during the run).
  void refreshProgress();

  // One installation pass; runs on the worker thread.
  bool updateProgress() override;

  // Toolkit signal handlers; `dialog` is the CInstallerDlg.
  static void on_buttonPrev_clicked(GtkWidget* widget, void* dialog);
  static void on_buttonNext_clicked(GtkWidget* widget, void* dialog);
  static void button_clicked_handler(GtkWidget* widget, void* dialog);
  static gboolean gtk_window_key_press_callback(GtkWidget* widget, GdkEventKey* event,
                                                void* dialog);
  static gboolean on_window_delete(GtkWidget* widget, GdkEvent* event, void* dialog);
  static void on_window_destroy(GtkWidget* widget, void* dialog);

  // The description document that Finish would open, or empty.
  std::u16string descriptionDocumentPath();
  int exitCode() const { return exitStatus; }

  // The run's settings, the kit and the pages.
  bool listFromBaseConfig;
  bool baseConfigExists;
  bool silentMode;
  InstallProcessData processData;
  std::list<std::u16string> tmpltsList;
  std::u16string targetPath;
  std::u16string okdPath;
  KitReader installData;
  std::u16string langCode;
  int state;
  MessagePage* welcomePage;
  DirSelectPage* dirSelectPage;
  WizardDialogPage* curPage;
  ProgressPage* progressPage;
  SuccessFinalPage* successPage;
  MessagePage* errorPage;
  bool useCurrentDir;
  GdkPixbuf* backImage;
  GtkWidget* buttonPrev;
  GtkWidget* buttonNext;
  GtkWidget* buttonCancel;
  int argc;
  char** argv;
  int width;
  int height;
  std::string title;
  GtkWidget* mainWindow;
  GtkWidget* fixed;
  GdkPixbuf* icon;
  InstallThread installThread;
  // The separator above the buttons and the cancelled run's final page.
  GtkWidget* separator;
  MessagePage* cancelPage;

 private:
  // The silent run without a display (ui/headless_run.cpp).
  friend int run_headless(CInstallerDlg& dialog);

  // Outcome of one installation run, as the run itself reported it.
  enum class RunOutcome { Success, Failed, Cancelled };

  // Starts the worker and waits until the run (its rollback included) has
  // ended, calling `tick` with each report seen; the toolkit's events are
  // handled in `tick` when a window is there. `report` is the last one.
  RunOutcome runInstallation(const std::function<void(const RunReport&)>& tick,
                             RunReport& report);
  // The progress page for one report of the run.
  void showRunReport(const RunReport& report);
  // The cancel question; during the run the run pauses while it is open,
  // and Yes asks it to cancel.
  bool askCancel();
  // "Template directory: /t", then the counts of the last run, joined by
  // `separator`; "\n" leaves out counts of zero but the installed one.
  std::u16string successSummary(const char16_t* separator);
  void waitForWorker();
  // Puts right a stopped installation found in the target and refuses a
  // target another installation holds (status 1, nothing changed); false
  // then.
  bool lockTargetDirectory();
  // Puts the directory first in the launcher's list; false (and a logged
  // reason) when a file of the launcher could not be written.
  // The template directories of the launcher's files, and which file they
  // came from.
  void readTemplateList();
  bool recordTemplateDirectory();
  // After a successful run: records the directory and warns when that
  // failed. The exit status of the run.
  int finishSuccessfulRun();
  void logStart(bool kitFound);
  void destroyMainWindow();
  void setLabel(GtkWidget* button, const char* key);

  bool displayOpen;
  int exitStatus;
  // The last report of the last run.
  RunReport lastRun;
  bool cancelRequested;
  // The run is putting the template directory back: nothing is left to
  // cancel, so Cancel and Escape do nothing until it has ended.
  bool restoring;
  // Escape or closing while the run goes on: close once it has ended.
  bool closeWhenDone;
  bool inProgressLoop;
  guint wakeSource;
  std::u16string targetOverride;
};

#endif  // OVN8_UI_INSTALLER_DLG_H_
