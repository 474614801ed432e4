#include "app/installer_app.h"

#include <locale.h>

#include "app/command_line.h"
#include "platform/text.h"
#include "ui/installer_dlg.h"

CInstallerApp::CInstallerApp(int argc, char** argv) : m_argc(argc), m_argv(argv) {}

void CInstallerApp::ReadStartUp() {
  m_language = LANG_NONE;
  const CommandLineOptions options = parse_command_line(m_argc, m_argv);
  m_useCurrentDirectory = options.useCurrentDirectory;
  m_silent = options.silent;

  std::string localeName;
  bool haveLocaleName = false;
  if (options.language == LANG_NONE) {
    // The locale the environment names decides.
    const char* name = setlocale(LC_ALL, "");
    if (name != nullptr) {
      localeName = name;
      haveLocaleName = true;
    }
    // Puts back the UTF-8 character set where the environment names plain C.
    init_locale_from_environment();
  }
  const LanguageChoice choice =
      choose_language(options, haveLocaleName ? localeName.c_str() : nullptr);
  m_language = choice.language;
  m_languageCode = choice.languageCode;

  set_resource_lang(m_language);
  m_title = LoadResString("IDR_MAINFRAME");
}

int CInstallerApp::InitInstance() {
  ReadStartUp();
  CInstallerDlg dialog(m_argc, m_argv, m_silent, narrow_lib(m_title), m_languageCode,
                       m_useCurrentDirectory);
  return dialog.DoModal();
}
