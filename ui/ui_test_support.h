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
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kit/kit_writer.h"
#include "platform/message_box.h"

namespace uitest {

// GLib reads HOME once and keeps it; read it before any test points HOME at
// a scratch folder that is gone later (the folder chooser would complain).
inline const char* const kProcessHome = g_get_home_dir();

inline bool toolkit_available() {
  static const bool available = [] {
    int argc = 0;
    char** argv = nullptr;
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

inline std::string make_temp_dir(const std::string& tag) {
  std::string pattern = "/tmp/ovn8ui_" + tag + "_XXXXXX";
  char* made = mkdtemp(&pattern[0]);
  return made ? std::string(made) : std::string();
}

inline void remove_tree(const std::string& path) {
  if (path.size() > 5) (void)system(("rm -rf '" + path + "'").c_str());
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

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
 public:
  ScratchWorld() {
    root = make_temp_dir("world");
    home = root + "/home";
    tmp = root + "/tmp";
    kitDir = root + "/kit";
    mkdir(home.c_str(), 0755);
    mkdir(tmp.c_str(), 0755);
    mkdir(kitDir.c_str(), 0755);
    save("HOME", oldHome, hadHome);
    save("TMPDIR", oldTmp, hadTmp);
    setenv("HOME", home.c_str(), 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    char buffer[4096];
    oldCwd = getcwd(buffer, sizeof(buffer)) ? buffer : "/";
    if (chdir(kitDir.c_str()) != 0) ADD_FAILURE() << "chdir " << kitDir;
  }
  ~ScratchWorld() {
    if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "chdir back";
    restore("HOME", oldHome, hadHome);
    restore("TMPDIR", oldTmp, hadTmp);
    remove_tree(root);
  }

  std::string kitPath() const { return kitDir + "/ovn8.okd"; }
  std::string defaultTarget() const { return home + "/.ovn8/Ovan/ovn8/tmplts/"; }
  std::string configPath() const { return home + "/.Ovan/ovanstart/ovanstart.cfg"; }
  // Files left in the temporary directory.
  int tmpEntries() const {
    int count = 0;
    for (const std::string& name : list(tmp)) count += name != "." && name != "..";
    return count;
  }

  std::string root, home, tmp, kitDir;

 private:
  static std::vector<std::string> list(const std::string& dir);
  static void save(const char* name, std::string& value, bool& had) {
    const char* current = getenv(name);
    had = current != nullptr;
    if (had) value = current;
  }
  static void restore(const char* name, const std::string& value, bool had) {
    if (had)
      setenv(name, value.c_str(), 1);
    else
      unsetenv(name);
  }
  std::string oldHome, oldTmp, oldCwd;
  bool hadHome = false, hadTmp = false;
};

}  // namespace uitest

#include <dirent.h>

inline std::vector<std::string> uitest::ScratchWorld::list(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* stream = opendir(dir.c_str())) {
    while (dirent* entry = readdir(stream)) names.push_back(entry->d_name);
    closedir(stream);
  }
  return names;
}

#endif  // OVN8_UI_UI_TEST_SUPPORT_H_
