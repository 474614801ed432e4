// The run without a display: the start-up checks, then, in silent mode, the
// installation into the proposed directory at once. Every kit entry gets a
// progress line on standard output ("NN% path"), a success ends with the
// success sentence and a summary line, and message boxes become lines on
// standard error. A stop signal (INT, TERM, HUP, QUIT) cancels the run,
// which then rolls back and ends with status 3. Without silent mode there is
// nothing to show the wizard on: the run ends with status 1.
#ifndef OVN8_UI_HEADLESS_RUN_H_
#define OVN8_UI_HEADLESS_RUN_H_

#include <string>
#include <vector>

class InstallationSession;
struct SessionMessage;
struct WizardFaces;

// The exit status (WizardExitCode). `notices` come first; `title` heads the
// lines of the boxes. Quiet and JSON runs print no per-file lines, and JSON
// runs no summary line either.
int run_headless(InstallationSession& session, const WizardFaces& faces, const std::u16string& title,
                 const std::vector<SessionMessage>& notices);

// The run without a window, whatever the display: boxes become lines, then
// run_headless. `title` is UTF-8.
int run_without_window(InstallationSession& session, const WizardFaces& faces,
                       const std::vector<SessionMessage>& notices, const std::string& title);

#endif  // OVN8_UI_HEADLESS_RUN_H_
