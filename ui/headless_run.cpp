#include "ui/headless_run.h"

#include <cstdio>

#include "install/installation_session.h"
#include "ui/wizard_faces.h"
#include "ui/wizard_front.h"
#include "platform/message_box.h"
#include "platform/path.h"
#include "platform/text.h"
#include "resources/lang.h"

namespace {

// How often the lines of the entries reached are brought up to date; the
// end of the run wakes the wait at once.
const unsigned kPrintEveryMs = 20;

// The names in `text` were made printable where they were put in.
void print_line(FILE* stream, const std::u16string& text) {
  fprintf(stream, "%s\n", printable(narrow_lib(text), Backslash::kKept).c_str());
  fflush(stream);
}

// Lines of boxes begin with the wizard's title, as the boxes would show it.
class Titled : public CWnd {
 public:
  explicit Titled(const std::u16string& title) : title_(title) {}
  std::u16string getWindowTitle() override { return title_; }

 private:
  std::u16string title_;
};

void show(Titled& window, const SessionMessage& message) {
  messageBox(&window, message.text, message.error ? kMessageBoxError | kMessageBoxOk : kMessageBoxOk);
}

// One line for every entry the run has reached, each once and in order,
// also those the poll did not see as the current one.
class HeadlessView : public SessionView {
 public:
  HeadlessView(InstallationSession& session, Titled& window, bool quiet)
      : session_(session),
        kit_(session.kit()),
        directory_(with_trailing_separator(session.targetDirectory())),
        window_(window),
        quiet_(quiet) {}

  void showNotice(const SessionMessage& notice) override { show(window_, notice); }
  void runStarted() override {}
  void showReport(const RunReport& report) override {
    if (report.entry >= 0) printThrough(size_t(report.entry));
    if (report.phase != RunPhase::kEnded) session_.awaitRunEnd(kPrintEveryMs);
  }

  void printAll() {
    if (!kit_.entries.empty()) printThrough(kit_.entries.size() - 1);
  }

 private:
  // Prints the lines of the entries up to `last` (inclusive).
  void printThrough(size_t last) {
    if (quiet_) return;
    const size_t count = kit_.entries.size();
    for (; printed_ <= last && printed_ < count; ++printed_) {
      const unsigned percent = unsigned(uint64_t(printed_) * 100 / count);
      const std::u16string path = directory_ + config::entryNameInDirectory(kit_.entries[printed_].name);
      printf("%3u%% %s\n", percent, narrow_lib(printable(path)).c_str());
    }
    fflush(stdout);
  }

  InstallationSession& session_;
  const KitReader& kit_;
  const std::u16string directory_;
  Titled& window_;
  const bool quiet_;
  size_t printed_ = 0;
};

}  // namespace

int run_headless(InstallationSession& session, const WizardFaces& faces, const std::u16string& title,
                 const std::vector<SessionMessage>& notices) {
  Titled window(title);
  for (const SessionMessage& notice : notices) show(window, notice);
  SessionMessage refusal;
  if (!session.start(nullptr, refusal)) {
    show(window, refusal);
    return kExitStartupFailed;
  }
  if (!faces.silent) {
    fprintf(stderr, "ovn8setup: %s\n", narrow_lib(LoadResString("IDS_ERROR_NODISPLAY")).c_str());
    return kExitStartupFailed;
  }
  // A signature that could not be vouched for is said once; a good one and
  // none at all are in the log and the JSON result.
  const config::SignatureState signature = session.signature().state;
  if (signature == config::SignatureState::kNotChecked || signature == config::SignatureState::kUnknownKey)
    show(window, SessionMessage::notice(session.signatureText()));
  HeadlessView view(session, window, faces.quiet || faces.json);
  const SessionOutcome outcome = session.install(view);
  switch (outcome.end) {
    case SessionOutcome::End::kInstalled:
      view.printAll();
      if (!faces.json)
        print_line(stdout, LoadResString("IDS_SUCCESS_FINISH") + u" " + session.successSummary(u"; "));
      if (!outcome.warning.empty()) show(window, SessionMessage::notice(outcome.warning));
      break;
    case SessionOutcome::End::kCancelled:
      print_line(stderr, LoadResString("IDS_CANCEL_FINISH"));
      break;
    case SessionOutcome::End::kFailed:
      show(window, outcome.message);
      print_line(stderr, LoadResString("IDS_ERROR_FINISH"));
      break;
    case SessionOutcome::End::kRefused:
      show(window, outcome.message);
      break;
    case SessionOutcome::End::kRepaired:
    case SessionOutcome::End::kRemoved:
      // Only the window repairs and removes; the command line has verbs.
      break;
  }
  return outcome.exitStatus;
}

int run_without_window(InstallationSession& session, const WizardFaces& faces,
                       const std::vector<SessionMessage>& notices, const std::string& title) {
  session.setWithDisplay(false);
  set_message_box_mode(MessageBoxMode::Console);
  return run_headless(session, faces, widen_lib(title), notices);
}

namespace {

int run_on_terminal(InstallationSession& session, const WizardFaces& faces,
                    const std::vector<SessionMessage>& notices, int&, char**&, const std::string& title) {
  return run_without_window(session, faces, notices, title);
}

}  // namespace

const WizardFront& terminal_front() {
  static const WizardFront front = {nullptr, run_on_terminal};
  return front;
}
