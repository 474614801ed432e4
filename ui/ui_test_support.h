// Shared pieces of the interface tests: a scratch home, temporary and kit
// directory, kits made on the spot, the message box responder, and helpers
// that let the toolkit catch up.
#ifndef OVN8_UI_UI_TEST_SUPPORT_H_
#define OVN8_UI_UI_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "install/installation_session.h"
#include "kit/container_builder.h"
#include "ui/installer_dlg.h"
#include "kit/kit_writer.h"
#include "platform/message_box.h"
#include "platform/message_box_dialog.h"
#include "platform/test_toolkit.h"

namespace uitest {

// GLib reads HOME once and keeps it; read it before any test points HOME at
// a scratch folder that is gone later (the folder chooser would complain).
inline const char* const kProcessHome = g_get_home_dir();

inline bool toolkit_available() {
  static const bool available = [] {
    int argc = 0;
    char** argv = nullptr;
    use_toolkit_message_boxes();
    return gtk_init_check(&argc, &argv) != FALSE;
  }();
  return available;
}

// Lets the toolkit handle what is pending (sizes, drawing).
inline void flush_events() {
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 500 && gtk_events_pending(); ++i) gtk_main_iteration();
    g_usleep(2000);
  }
}

using testkit::exists;
using testkit::readFile;
using testkit::removeTree;

inline _FILETIME time_of(int64_t seconds) { return config::fileTimeFromUnix(seconds, 0); }

// Every box asked, and the answers to give in order (No when none is left).
class BoxRecorder {
 public:
  BoxRecorder() {
    set_message_box_responder([this](const MessageBoxRequest& request) {
      asked.push_back(request);
      if (answers.empty()) return request.isQuestion() ? int(kMessageBoxResultNo)
                                                       : int(kMessageBoxResultOk);
      const int answer = answers.front();
      answers.pop_front();
      return answer;
    });
  }
  ~BoxRecorder() { set_message_box_responder(nullptr); }

  std::vector<MessageBoxRequest> asked;
  std::deque<int> answers;
};

// A scratch world: HOME, TMPDIR and a kit directory, put back afterwards.
class ScratchWorld {
 private:
  testkit::ScratchDir scratch_{"/tmp", "ovn8ui_world"};

 public:
  ScratchWorld() {
    mkdir(home.c_str(), 0755);
    mkdir(tmp.c_str(), 0755);
    mkdir(kitDir.c_str(), 0755);
    char buffer[4096];
    oldCwd = getcwd(buffer, sizeof(buffer)) ? buffer : "/";
    if (chdir(kitDir.c_str()) != 0) ADD_FAILURE() << "chdir " << kitDir;
  }
  ~ScratchWorld() {
    if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }

  std::string kitPath() const { return kitDir + "/ovn8.okd"; }
  std::string defaultTarget() const { return home + "/.ovn8/Ovan/ovn8/tmplts/"; }
  std::string configPath() const { return home + "/.Ovan/ovanstart/ovanstart.cfg"; }
  // Files left in the temporary directory.
  int tmpEntries() const { return int(testkit::leftInTemp(tmp).size()); }

  const std::string root = scratch_.path();
  const std::string home = root + "/home";
  const std::string tmp = root + "/tmp";
  const std::string kitDir = root + "/kit";

 private:
  testkit::EnvGuard homeGuard_{"HOME", home.c_str()};
  testkit::EnvGuard tmpGuard_{"TMPDIR", tmp.c_str()};
  std::string oldCwd;
};

// The session and the window on it, as the program makes them: the window
// of a test reads as the dialog itself, with its session beside it.
struct SessionHolder {
  explicit SessionHolder(const SessionSettings& settings) : installation(settings) {}
  InstallationSession installation;
};

class TestWizard : public SessionHolder, public CInstallerDlg {
 public:
  TestWizard(const SessionSettings& settings, const std::string& title)
      : SessionHolder(settings), CInstallerDlg(installation, settings.silent, title) {}
};

// Settings as the command line gives them; the kit in the current directory.
inline SessionSettings test_settings(bool silent, const std::u16string& language,
                                     const std::u16string& target = std::u16string()) {
  SessionSettings settings;
  settings.silent = silent;
  settings.languageCode = language;
  settings.useCurrentDirectory = true;
  settings.target = target;
  settings.withDisplay = true;
  return settings;
}

}  // namespace uitest

#endif  // OVN8_UI_UI_TEST_SUPPORT_H_
