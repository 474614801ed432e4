#include "app/installer_app.h"

#include <limits.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "app/command_line.h"
#include "app/usage.h"
#include "install/installation_session.h"
#include "install/maintenance.h"
#include "platform/file_system.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/wizard_faces.h"

CInstallerApp::CInstallerApp(int argc, char** argv, const config::SignatureSettings& system,
                             const WizardFront& front)
    : m_argc(argc), m_argv(argv), m_signature(system), m_front(&front) {}

namespace {

// `path` made absolute against `cwd` and widened; a path the locale cannot
// read goes to `bad` instead.
void absolute_wide_path(const std::string& path, const std::string& cwd, std::u16string& wide,
                        std::string& bad) {
  wide.clear();
  bad.clear();
  if (path.empty()) return;
  const std::string absolute = absolute_path(path, cwd);
  wide = widen_lib(absolute);
  if (wide.empty()) bad = absolute;
}

}  // namespace

void CInstallerApp::ReadStartUp() {
  // The toolkit's own options are its: what is left is the wizard's.
  if (m_front->takeToolkitOptions != nullptr) m_front->takeToolkitOptions(m_argc, m_argv);
  m_language = LANG_NONE;
  const CommandLineOptions options = parse_command_line(m_argc, m_argv);
  m_useCurrentDirectory = options.useCurrentDirectory;
  m_silent = options.silent;
  m_showHelp = options.showHelp;
  m_showVersion = options.showVersion;
  m_badOption = options.badOption;
  m_unknownArgument = options.unknownArgument;
  m_logPath = options.logPath;
  m_unattended = options.unattended;
  m_dryRun = options.dryRun;
  m_verify = options.verify;
  m_uninstall = options.uninstall;
  m_repair = options.repair;
  m_quiet = options.quiet;
  m_json = options.json != CommandLineOptions::Json::kNone;
  m_jsonFiles = options.json == CommandLineOptions::Json::kFiles;
  std::u16string cwd;
  const std::string here =
      FileSystem::GetCurrentDirectory(cwd) == ERROR_SUCCESS ? narrow_lib(cwd) : std::string();
  absolute_wide_path(options.target, here, m_target, m_badTarget);
  absolute_wide_path(options.kitPath, here, m_kitPath, m_badKitPath);
  m_signature.requireSignature = m_signature.requireSignature || options.requireSignature;
  for (const std::string& keyring : options.keyrings) {
    std::u16string wide;
    absolute_wide_path(keyring, here, wide, m_badKeyring);
    if (!m_badKeyring.empty()) break;
    m_signature.keyrings.push_back(wide);
  }

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

namespace {

const char* outcome_text(int status) {
  switch (status) {
    case kExitSuccess: return "installed";
    case kExitStartupFailed: return "a start-up check failed, nothing was changed";
    case kExitInstallFailed: return "the installation failed and was rolled back";
    case kExitCancelled: return "cancelled, the template directory was not changed";
    case kExitLauncherNotUpdated: return "installed, but the launcher's file was not updated";
    default: return "ended";
  }
}

}  // namespace

void CInstallerApp::openLog() {
  run_log().setFailureReporter([](const std::string& path, const std::string& reason) {
    fprintf(stderr, "ovn8setup: %s: %s. %s\n", printable(path).c_str(), reason.c_str(),
            narrow_lib(LoadResString("IDS_ERROR_LOGFILE")).c_str());
  });
  run_log().open(m_logPath);
}

// A maintenance verb works on the directory given, without a window, and
// ends the program.
int CInstallerApp::runMaintenance() {
  const char* verb = m_verify ? "--verify" : m_uninstall ? "--uninstall" : "--repair";
  if (m_target.empty()) {
    fprintf(stderr, "ovn8setup: %s needs the template directory: --target=DIR\n", verb);
    return kExitStartupFailed;
  }
  // One verb a run, and none of them pretends: an administrator's
  // "--uninstall --dry-run" must not remove anything.
  if (int(m_verify) + int(m_uninstall) + int(m_repair) > 1) {
    fputs("ovn8setup: --verify, --uninstall and --repair cannot be combined\n", stderr);
    return kExitStartupFailed;
  }
  if (m_dryRun && !m_verify) {
    fprintf(stderr, "ovn8setup: %s has no --dry-run; --verify tells what differs without changing anything\n",
            verb);
    return kExitStartupFailed;
  }
  MaintenanceSettings settings;
  settings.target = m_target;
  settings.kitPath = m_kitPath;
  settings.json = m_json;
  // Verifying changes nothing, so it puts nothing right either; an
  // uninstallation or a repair first recovers a stopped run, as an
  // installation does.
  if (!m_verify) {
    for (const SessionMessage& message : InstallationSession::recoverStoppedInstallations(m_target))
      fprintf(stderr, "ovn8setup: %s\n", narrow_lib(message.text).c_str());
  }
  const int status = m_verify      ? run_verify(settings, stdout, stderr)
                     : m_uninstall ? run_uninstall(settings, stdout, stderr)
                                   : run_repair(settings, stdout, stderr);
  InstallationSession::removeTemporaryFiles();
  run_log().close();
  return status;
}

int CInstallerApp::InitInstance() {
  ReadStartUp();
  // Neither needs a kit, a display or a window.
  if (m_showHelp) {
    fputs(usage_text().c_str(), stdout);
    return kExitSuccess;
  }
  if (m_showVersion) {
    fputs(version_text().c_str(), stdout);
    return kExitSuccess;
  }
  if (!m_badOption.empty()) {
    fprintf(stderr, "ovn8setup: %s %s\n", narrow_lib(LoadResString("IDS_ERROR_OPTIONVALUE")).c_str(),
            m_badOption.c_str());
    return kExitStartupFailed;
  }
  // A typo must not install into the default directory: nothing is done.
  if (!m_unknownArgument.empty()) {
    fprintf(stderr, "ovn8setup: %s %s\n%s\n",
            narrow_lib(LoadResString("IDS_ERROR_UNKNOWNOPTION")).c_str(),
            printable(m_unknownArgument).c_str(), narrow_lib(LoadResString("IDS_HELP_SEEHELP")).c_str());
    return kExitStartupFailed;
  }
  // A directory that cannot be named must not turn into the proposed one.
  if (!m_badTarget.empty() || !m_badKitPath.empty() || !m_badKeyring.empty()) {
    const std::string& bad = !m_badTarget.empty() ? m_badTarget : !m_badKitPath.empty() ? m_badKitPath : m_badKeyring;
    fprintf(stderr, "ovn8setup: %s %s\n", narrow_lib(LoadResString("IDS_ERROR_TARGETNAME")).c_str(),
            printable(bad).c_str());
    return kExitStartupFailed;
  }
  if (!m_logPath.empty()) openLog();
  if (m_verify || m_uninstall || m_repair) return runMaintenance();
  // Installations that a kill or a power cut stopped are put back first, in
  // every mode and before the start-up checks; a dry run changes nothing.
  std::vector<SessionMessage> recovered;
  if (!m_dryRun) recovered = InstallationSession::recoverStoppedInstallations(m_target);
  SessionSettings settings;
  settings.languageCode = m_languageCode;
  settings.useCurrentDirectory = m_useCurrentDirectory;
  settings.kitPath = m_kitPath;
  settings.target = m_target;
  settings.silent = m_silent;
  settings.dryRun = m_dryRun;
  settings.planFiles = m_jsonFiles;
  settings.signature = m_signature;
  WizardFaces faces;
  faces.silent = m_silent;
  faces.unattended = m_unattended;
  faces.quiet = m_quiet;
  faces.json = m_json;
  int status;
  std::string ran;
  {
    InstallationSession session(settings);
    status = m_front->run(session, faces, recovered, m_argc, m_argv, narrow_lib(m_title));
    ran = "; kit " + (session.kitPath().empty() ? std::string("-") : narrow_lib(session.kitPath())) +
          ", target " +
          (session.targetDirectory().empty() ? std::string("-") : narrow_lib(session.targetDirectory()));
    if (m_json) {
      fputs((session.resultJson(status, m_jsonFiles) + "\n").c_str(), stdout);
      fflush(stdout);
    }
  }
  // The kit's container has gone with the session.
  InstallationSession::removeTemporaryFiles();
  log_event("end: exit status " + std::to_string(status) + ", " + outcome_text(status) + ran);
  run_log().close();
  return status;
}
