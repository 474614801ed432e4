// The application object: command line, interface language, window title,
// then the wizard dialog.
#ifndef OVN8_APP_INSTALLER_APP_H_
#define OVN8_APP_INSTALLER_APP_H_

#include <string>

#include "kit/kit_signature.h"
#include "resources/lang.h"
#include "ui/wizard_front.h"

class CInstallerApp {
 public:
  // `system` says where the system's trusted keyrings and signature rule
  // lie and which gpgv checks signatures; the end-to-end tests' build of
  // the wizard points it elsewhere. `front` shows the wizard (a window, or
  // lines on the terminal).
  CInstallerApp(int argc, char** argv,
                const config::SignatureSettings& system = config::SignatureSettings(),
                const WizardFront& front = terminal_front());

  // The whole start-up: ReadStartUp, then --help, --version or the wizard
  // dialog. Returns the program's exit status (WizardExitCode).
  int InitInstance();

  // Steps before the dialog: reads the command line, chooses the language
  // (option, else the environment's locale, else English), makes it current
  // and loads the title. Needs no display.
  void ReadStartUp();

  int m_argc;
  char** m_argv;
  LangIdType m_language = LANG_NONE;  // 0 while none is chosen
  std::u16string m_title;             // IDR_MAINFRAME in m_language

  // Handed on to the dialog.
  bool m_useCurrentDirectory = false;
  bool m_silent = false;
  std::u16string m_languageCode = u"en";

  // The long options (see CommandLineOptions); m_target and m_kitPath are
  // absolute.
  bool m_showHelp = false;
  bool m_showVersion = false;
  std::string m_badOption;
  std::string m_unknownArgument;
  std::u16string m_target;
  std::u16string m_kitPath;
  // --target's directory or the kit's path when the locale cannot read it
  // (bytes that are no text in its character set); empty otherwise.
  std::string m_badTarget;
  std::string m_badKitPath;
  std::string m_logPath;
  bool m_unattended = false;
  bool m_dryRun = false;
  bool m_verify = false;
  bool m_uninstall = false;
  bool m_repair = false;
  bool m_quiet = false;
  bool m_json = false;
  bool m_jsonFiles = false;
  // The system's signature settings with --keyring (absolute) and
  // --require-signature.
  config::SignatureSettings m_signature;
  std::string m_badKeyring;

 private:
  const WizardFront* m_front;
  // Opens the --log file; a log that cannot be written is said once on
  // standard error and the run goes on without it.
  void openLog();
  int runMaintenance();
};

#endif  // OVN8_APP_INSTALLER_APP_H_
