#include "ui/headless_run.h"

#include <unistd.h>

#include <cstdio>

#include "platform/message_box.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/installer_dlg.h"

namespace {

const useconds_t kPollUs = 5000;

// The names in `text` were made printable where they were put in.
void print_line(FILE* stream, const std::u16string& text) {
  fprintf(stream, "%s\n", printable(narrow_lib(text), Backslash::kKept).c_str());
  fflush(stream);
}

// One line for every entry the run has reached, each once and in order,
// also those the poll did not see as the current one.
class EntryLines {
 public:
  EntryLines(const KitReader& kit, const std::u16string& directory)
      : kit_(kit), directory_(directory) {}

  // Prints the lines of the entries up to `last` (inclusive).
  void printThrough(size_t last) {
    const size_t count = kit_.entries.size();
    for (; printed_ <= last && printed_ < count; ++printed_) {
      const unsigned percent = unsigned(uint64_t(printed_) * 100 / count);
      const std::u16string path = directory_ + config::entryNameInDirectory(kit_.entries[printed_].name);
      printf("%3u%% %s\n", percent, narrow_lib(printable(path)).c_str());
    }
    fflush(stdout);
  }
  void printAll() {
    if (!kit_.entries.empty()) printThrough(kit_.entries.size() - 1);
  }

 private:
  const KitReader& kit_;
  const std::u16string directory_;
  size_t printed_ = 0;
};

}  // namespace

int run_headless(CInstallerDlg& dialog) {
  if (dialog.targetPath.empty()) {
    messageBox(&dialog, LoadResString("IDS_SETUP_EMPTYTARGET"), kMessageBoxOk);
    return kExitStartupFailed;
  }
  // From here until the rollback has ended, a stop signal cancels the run.
  defer_stop_signals();
  if (!dialog.lockTargetDirectory()) {
    allow_stop_signals();
    if (dialog.exitStatus == kExitInstallFailed) print_line(stderr, LoadResString("IDS_ERROR_FINISH"));
    return dialog.exitStatus;
  }
  dialog.processData.init(&dialog.installData, dialog.targetPath);
  dialog.state = kStateProgress;
  KitReader* kit = nullptr;
  std::u16string directory;
  dialog.processData.get(kit, directory);
  EntryLines lines(dialog.installData, directory);

  RunReport& report = dialog.lastRun;
  const CInstallerDlg::RunOutcome outcome = dialog.runInstallation(
      [&](const RunReport& now) {
        if (now.entry >= 0) lines.printThrough(size_t(now.entry));
        if (stop_requested() && !dialog.cancelRequested) {
          dialog.cancelRequested = true;
          dialog.processData.setCancel(true);
        }
        usleep(kPollUs);
      },
      report);
  allow_stop_signals();

  switch (outcome) {
    case CInstallerDlg::RunOutcome::Success:
      lines.printAll();
      print_line(stdout, LoadResString("IDS_SUCCESS_FINISH") + u" " + dialog.successSummary(u"; "));
      dialog.state = kStateSuccess;
      return dialog.finishSuccessfulRun();
    case CInstallerDlg::RunOutcome::Cancelled:
      dialog.state = kStateCancelled;
      print_line(stderr, LoadResString("IDS_CANCEL_FINISH"));
      return kExitCancelled;
    case CInstallerDlg::RunOutcome::Failed:
      break;
  }
  // Another wizard took the directory between the check and the run:
  // nothing was changed, as when the check itself finds it busy.
  if (report.result == ERROR_LOCK_VIOLATION) {
    messageBox(&dialog, LoadResString("IDS_ERROR_TARGETBUSY"), kMessageBoxError | kMessageBoxOk);
    return kExitStartupFailed;
  }
  dialog.state = kStateError;
  messageBox(&dialog, report.message, kMessageBoxError | kMessageBoxOk);
  print_line(stderr, LoadResString("IDS_ERROR_FINISH"));
  return kExitInstallFailed;
}
