// How the wizard meets its user: in a window on the toolkit, or in lines on
// a terminal. The wizard's program has no toolkit and only the terminal's
// front; the window program (which it starts when a window may be wanted)
// has both, and falls back on the terminal's without a display.
#ifndef OVN8_UI_WIZARD_FRONT_H_
#define OVN8_UI_WIZARD_FRONT_H_

#include <string>
#include <vector>

class InstallationSession;
struct SessionMessage;
struct WizardFaces;

struct WizardFront {
  // Takes the toolkit's own options (--display=..., --sync) out of the
  // command line without opening a display; null without a toolkit.
  void (*takeToolkitOptions)(int& argc, char**& argv);
  // Runs the wizard on `session`; `notices` (the recovery of stopped
  // installations at start) come first. The exit status (WizardExitCode).
  int (*run)(InstallationSession& session, const WizardFaces& faces, const std::vector<SessionMessage>& notices,
             int& argc, char**& argv, const std::string& title);
};

// Lines only: never a window, every box a line on standard error
// (ui/headless_run.h).
const WizardFront& terminal_front();

// The window when a display can be opened and the run is not unattended,
// else the terminal's lines (ui/installer_dlg.h).
const WizardFront& window_front();

#endif  // OVN8_UI_WIZARD_FRONT_H_
