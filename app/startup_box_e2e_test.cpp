// The finished program under a display after a run into its directory was
// killed half-way: the next start says so in a box before anything else,
// and whatever loop comes after the box (the preparing window, the wizard's
// window, the silent run, the next box) must still run. Each program runs
// on an X server of the test's own (Xvfb, no window manager), so that no
// other test's windows or focus get in the way; xdotool finds the windows
// and presses the keys. Skipped without Xvfb or xdotool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/e2e_support.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "platform/test_toolkit.h"

namespace {

const char kTitle[] = "Installing configuration";
const char kNotice[] =
    "Installing configuration: The previous installation into this directory was interrupted. "
    "The directory has been restored to the state it had before: ";
// The wizard's window is always this size; a box never is.
const int kWindowWidth = 500;
const int kWindowHeight = 360;
const int kKitFiles = 2000;
// Enough entries that a run is still copying when the test kills it, on a
// machine busy with other tests.
const int kKilledKitFiles = 20000;
// Progress lines seen before the kill.
const int kLinesBeforeKill = 20;
// How long a step may take on a machine busy with other tests' syncs; a
// wizard that hangs takes them all.
const int kStepSeconds = 30;

bool on_path(const std::string& program) {
  return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output_of(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
    pclose(pipe);
  }
  return text;
}

int lines_in(const std::string& path) {
  const std::string text = testkit::readFile(path);
  return int(std::count(text.begin(), text.end(), '\n'));
}

// Until the file at `path` has `lines` lines, for a step's time at most.
void wait_for_lines(const std::string& path, int lines) {
  for (int tick = 0; tick < kStepSeconds * 100 && lines_in(path) < lines; ++tick) usleep(10000);
}

// The exit status of `child` once it has ended (1000 + the signal when a
// signal ended it); -1, and the child killed, when it has not ended within
// `seconds`.
int wait_for_exit(pid_t child, int seconds) {
  int status = 0;
  for (int tick = 0; tick < seconds * 50; ++tick) {
    if (waitpid(child, &status, WNOHANG) == child) return e2e::status_of(status);
    usleep(20000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

struct Window {
  std::string id;
  int width = 0;
  int height = 0;
  bool isWizard() const { return width == kWindowWidth && height == kWindowHeight; }
};

class StartupBoxE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    binary_ = e2e::wizard_binary();
    if (binary_.empty()) GTEST_SKIP() << "no ovn8setup built";
    if (!on_path("Xvfb") || !on_path("xdotool")) GTEST_SKIP() << "needs Xvfb and xdotool";
    server_.reset(new e2e::PrivateXServer);
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
    ASSERT_TRUE(scratch_.ok());
    for (const std::string& dir : {home_, tmp_, kitDir_}) ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Product", u"Vendor", u""}};
    for (int i = 0; i < kKilledKitFiles; ++i) {
      // Twenty folders, "da" to "dt"; kit entries are stored with backslashes.
      const std::string name = std::string("d") + char('a' + i % 20) + "\\f" + std::to_string(i);
      const std::u16string wideName(name.begin(), name.end());
      const std::string data(i < kKitFiles ? 1000 : 100, char('a' + i % 26));
      spec.files.emplace_back(wideName, data, config::fileTimeFromUnix(1600000000, 0));
      if (i + 1 == kKitFiles) {
        ASSERT_TRUE(config::writeKit(kitPath(), spec));
      }
    }
    // The runs that get killed take their own larger kit, which the cases
    // below never break.
    ASSERT_EQ(mkdir(spareKitDir_.c_str(), 0755), 0);
    ASSERT_TRUE(config::writeKit(spareKitDir_ + "/ovn8.okd", spec));
    resetTarget(target_);
  }

  std::string kitPath() const { return kitDir_ + "/ovn8.okd"; }

  // The directory as the user had it: one file of their own.
  void resetTarget(const std::string& target) {
    testkit::removeTree(target);
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    ASSERT_TRUE(testkit::writeFile(target + "/own.txt", "the user's own file"));
  }

  void expectAsTheUserHadIt(const std::string& target) {
    EXPECT_EQ(testkit::entryNames(target), std::vector<std::string>{"own.txt"});
    EXPECT_EQ(testkit::readFile(target + "/own.txt"), "the user's own file");
  }

  // Starts the wizard in the kit's folder `dir` with `args`, on the private
  // display or without one; `boxes` is OVN8_MESSAGE_BOX (empty: unset).
  // Standard output and error go to files named after `tag`.
  pid_t start(std::vector<std::string> args, bool display, const std::string& boxes,
              const std::string& tag, const std::string& dir) {
    const std::string out = root_ + "/out" + tag, err = root_ + "/err" + tag;
    // Nothing of an earlier run with this tag may be read as this one's.
    unlink(out.c_str());
    unlink(err.c_str());
    args.insert(args.begin(), binary_);
    const pid_t child = fork();
    if (child != 0) return child;
    alarm(4 * kStepSeconds);  // a wizard that hangs ends here at the latest (kept across exec)
    if (chdir(dir.c_str()) != 0) _exit(120);
    setenv("HOME", home_.c_str(), 1);
    setenv("TMPDIR", tmp_.c_str(), 1);
    setenv("LANG", "C.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LANGUAGE");
    boxes.empty() ? unsetenv("OVN8_MESSAGE_BOX") : setenv("OVN8_MESSAGE_BOX", boxes.c_str(), 1);
    display ? setenv("DISPLAY", server_->display().c_str(), 1) : unsetenv("DISPLAY");
    e2e::suppress_toolkit_leaks();
    e2e::exec_with_output(args, out, err);
  }

  std::string errorOutput(const std::string& tag) {
    return testkit::readFile(root_ + "/err" + tag);
  }

  // A silent run into `target` without a display, killed while it copies:
  // its private folder with the journal stays in the directory.
  void killRunInto(const std::string& target) {
    const pid_t child =
        start({"usecwd", "-S", "--target=" + target}, false, "", "killed", spareKitDir_);
    wait_for_lines(root_ + "/outkilled", kLinesBeforeKill);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::vector<std::string> names = testkit::entryNames(target);
    const auto isRunFolder = [](const std::string& name) {
      return name.compare(0, 6, ".n8stp") == 0;
    };
    ASSERT_TRUE(std::any_of(names.begin(), names.end(), isRunFolder))
        << "the run was not stopped half-way; it wrote " << lines_in(root_ + "/outkilled")
        << " lines";
  }

  // `arguments` for xdotool on the private display, given at most `seconds`.
  std::string xdotool(const std::string& arguments, int seconds = kStepSeconds) {
    return output_of("DISPLAY=" + server_->display() + " timeout " + std::to_string(seconds) + " xdotool " +
                     arguments + " 2>/dev/null");
  }

  // For a failure: what the wizard `child` said and which windows the
  // display holds.
  std::string whatTheWizardShows(pid_t child, const std::string& tag) {
    return "the wizard said: \"" + errorOutput(tag) + "\"; the windows on " + server_->display() +
           ": " + xdotool("search --all --name '.*' getwindowname %@ getwindowpid %@ getwindowgeometry %@") +
           "; the wizard: " + output_of("ps -o pid,stat,wchan:24,args -p " + std::to_string(child));
  }

  // The windows of `child` that are on the screen.
  std::vector<Window> windowsOf(pid_t child) {
    std::istringstream listing(xdotool("search --all --onlyvisible --pid " + std::to_string(child) +
                                       " --name '^" + kTitle + "$' getwindowgeometry %@"));
    std::vector<Window> windows;
    std::string word;
    while (listing >> word) {
      if (word == "Window" && listing >> word) windows.push_back(Window{word});
      if (word == "Geometry:" && listing >> word && !windows.empty())
        sscanf(word.c_str(), "%dx%d", &windows.back().width, &windows.back().height);
    }
    return windows;
  }

  // The first window of `child` that `wanted` accepts, within `seconds`;
  // an empty id when none came.
  Window waitForWindow(pid_t child, const std::function<bool(const Window&)>& wanted, int seconds) {
    // The X server now and then drops a client that connects as another
    // one leaves (a few in a hundred when clients come every few
    // milliseconds), which is how the wizard lost its display under the
    // polling below. Until it shows a window, one waiting client looks.
    xdotool("search --sync --onlyvisible --pid " + std::to_string(child) + " --name '^" + kTitle + "$'",
            seconds);
    for (int tick = 0; tick < seconds * 50; ++tick) {
      for (const Window& window : windowsOf(child))
        if (wanted(window)) return window;
      usleep(20000);
    }
    return Window();
  }

  Window waitForBox(pid_t child) {
    return waitForWindow(child, [](const Window& w) { return !w.isWizard(); }, kStepSeconds);
  }

  // The keyboard goes to `window`, then the keys are pressed.
  void press(const Window& window, const std::string& keys) {
    xdotool("windowfocus --sync " + window.id + " key --delay 50 " + keys);
  }

  // Presses `keys` on `box` of `child` until the box has gone: on a busy
  // machine a box can be on the screen before it takes keys, and a key
  // pressed then is lost.
  void answer(pid_t child, const Window& box, const std::string& keys) {
    const auto stillThere = [&] {
      for (const Window& window : windowsOf(child))
        if (window.id == box.id) return true;
      return false;
    };
    for (int second = 0; second < kStepSeconds; ++second) {
      if (second % 5 == 0) press(box, keys);
      for (int tick = 0; tick < 50 && stillThere(); ++tick) usleep(20000);
      if (!stillThere()) return;
    }
  }

  // Escape on the wizard's window, and Yes to the question it asks.
  void cancelWizard(pid_t child, const Window& wizard) {
    press(wizard, "Escape");
    const Window question = waitForBox(child);
    ASSERT_FALSE(question.id.empty()) << "no cancel question";
    press(question, "Tab Return");  // No is the default; Tab moves to Yes
  }

  std::unique_ptr<e2e::PrivateXServer> server_;
  // In memory where there is such a file system: the many syncs of the
  // runs cost nothing there, however busy the disk.
  testkit::ScratchDir scratch_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", "ovn8box"};
  std::string binary_;
  const std::string root_ = scratch_.path();
  const std::string home_ = root_ + "/home", tmp_ = root_ + "/tmp", kitDir_ = root_ + "/kit";
  const std::string spareKitDir_ = root_ + "/spare";
  const std::string target_ = root_ + "/templates";
};

TEST_F(StartupBoxE2eTest, AfterTheNoticeTheWelcomePageOpensAndCancelEndsTheWizard) {
  for (const std::string boxes : {"", "autoclose"}) {
    SCOPED_TRACE(boxes.empty() ? "answered with Return" : "closing by itself");
    killRunInto(target_);
    const pid_t wizard = start({"usecwd", "--target=" + target_}, true, boxes, "w", kitDir_);
    if (boxes.empty()) {
      const Window notice = waitForBox(wizard);
      ASSERT_FALSE(notice.id.empty()) << "no notice; " << whatTheWizardShows(wizard, "w");
      // Put back before the user is told.
      expectAsTheUserHadIt(target_);
      answer(wizard, notice, "Return");
    }
    const Window welcome =
        waitForWindow(wizard, [](const Window& w) { return w.isWizard(); }, kStepSeconds);
    if (welcome.id.empty()) {
      ADD_FAILURE() << "no welcome page after the notice; " << whatTheWizardShows(wizard, "w");
      wait_for_exit(wizard, 0);
      continue;
    }
    EXPECT_EQ(windowsOf(wizard).size(), 1u) << "the notice is still on the screen";
    cancelWizard(wizard, welcome);
    EXPECT_EQ(wait_for_exit(wizard, kStepSeconds), 3) << errorOutput("w");
    expectAsTheUserHadIt(target_);
    if (!boxes.empty()) {
      EXPECT_EQ(errorOutput("w"), kNotice + target_ + "/\n" + kTitle +
                                      ": Do you really want to cancel installation?\n");
    }
  }
}

TEST_F(StartupBoxE2eTest, SilentRunUnderTheDisplayInstallsAfterTheNotice) {
  for (const std::string boxes : {"", "autoclose"}) {
    SCOPED_TRACE(boxes.empty() ? "answered with Return" : "closing by itself");
    killRunInto(target_);
    const pid_t wizard = start({"usecwd", "-S", "--target=" + target_}, true, boxes, "s", kitDir_);
    if (boxes.empty()) {
      const Window notice = waitForBox(wizard);
      ASSERT_FALSE(notice.id.empty()) << "no notice; " << whatTheWizardShows(wizard, "s");
      answer(wizard, notice, "Return");
    }
    EXPECT_EQ(wait_for_exit(wizard, kStepSeconds), 0) << errorOutput("s");
    // A silent run says each box on standard error as well.
    EXPECT_EQ(errorOutput("s"), kNotice + target_ + "/\n");
    // 20 folders, the user's file and the installation's record folder.
    EXPECT_EQ(testkit::entryNames(target_).size(), 22u);
    EXPECT_TRUE(testkit::readFile(target_ + "/dt/f1999") == std::string(1000, 'x'));
    resetTarget(target_);
  }
}

// Each box that can end a start, shown after the notice: the wizard still
// gets to it and ends with its status.
TEST_F(StartupBoxE2eTest, EveryStartUpBoxAfterTheNoticeEndsTheWizard) {
  const std::string kit = testkit::readFile(kitPath());
  const std::string other = root_ + "/other";
  resetTarget(other);
  pid_t holder = 0;
  struct Case {
    const char* name;
    std::function<void()> arrange, undo;
    std::string target;
    int status;
    std::string line;
  } cases[] = {
      {"kit not found", [&] { unlink(kitPath().c_str()); },
       [&] { testkit::writeFile(kitPath(), kit); }, target_, 1,
       // Then where it looked.
       "Installing configuration: Distribution kit file ovn8.okd not found. The wizard looked for it "
       "here: " + kitPath() + "\n"},
      {"damaged kit", [&] { testkit::writeFile(kitPath(), kit.substr(0, kit.size() / 2)); },
       [&] { testkit::writeFile(kitPath(), kit); }, target_, 1,
       // Then where the kit is wrong.
       "Installing configuration: Distribution kit file ovn8.okd corrupted or not designed for "
       "this installation program. "},
      // Another wizard, stopped while it installs into the other directory;
      // the notice is of the directory the records in HOME name.
      {"directory busy",
       [&] {
         holder = start({"usecwd", "-S", "--target=" + other}, false, "", "holder", spareKitDir_);
         wait_for_lines(root_ + "/outholder", 1);
         kill(holder, SIGSTOP);
       },
       // It then finishes: no journal of it is left for the next start.
       [&] {
         kill(holder, SIGCONT);
         wait_for_exit(holder, kStepSeconds);
       },
       other, 1,
       "Installing configuration: Another installation into this template directory is in "
       "progress. Wait until it has finished and start the installation again.\n"},
      // A file where the launcher's folder belongs.
      {"launcher's file",
       [&] {
         testkit::removeTree(home_ + "/.Ovan");
         testkit::writeFile(home_ + "/.Ovan", "not a folder");
       },
       [&] { unlink((home_ + "/.Ovan").c_str()); }, target_, 4,
       // Then which file, and (after it) why.
       "Installing configuration: The configuration was installed, but the launcher's "
       "configuration file could not be updated: the launcher will not offer the new templates.  " +
           home_ + "/.Ovan/ovanstart/ovanstart.cfg "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // First, so that a wizard started by it does not get the notice.
    c.arrange();
    killRunInto(target_);
    const pid_t wizard =
        start({"usecwd", "-S", "--target=" + c.target}, true, "autoclose", "b", kitDir_);
    EXPECT_EQ(wait_for_exit(wizard, kStepSeconds), c.status) << errorOutput("b");
    const std::string told = kNotice + target_ + "/\n" + c.line;
    EXPECT_EQ(errorOutput("b").substr(0, told.size()), told);
    c.undo();
    resetTarget(target_);
  }
}

}  // namespace
