// The silent run without a display: the installation runs into the proposed
// directory at once, every kit entry gets a progress line on standard output
// ("NN% path"), a success ends with the success sentence and a summary line,
// and message boxes become lines on standard error. A stop signal (INT,
// TERM, HUP, QUIT) cancels the run, which then rolls back and ends with
// status 3.
#ifndef OVN8_UI_HEADLESS_RUN_H_
#define OVN8_UI_HEADLESS_RUN_H_

class CInstallerDlg;

// After the start-up checks have passed. The exit status (WizardExitCode).
int run_headless(CInstallerDlg& dialog);

#endif  // OVN8_UI_HEADLESS_RUN_H_
