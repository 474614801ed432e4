// The fixture that the crash sweeps share: the scene of
// install_sweep_util.h installed once cleanly, children that die at a
// chosen file operation, and the checks of what a recovery leaves.
#ifndef OVN8_INSTALL_CRASH_SWEEP_FIXTURE_H_
#define OVN8_INSTALL_CRASH_SWEEP_FIXTURE_H_

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install/install_sweep_util.h"
#include "install/installer.h"
#include "install/recovery.h"

namespace install_test {

// The exit status of a child that died at its chosen operation.
const int kDiedExit = 77;

// Hundreds of runs with their syncs: in memory where there is such a place.
inline std::string scratch_base() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

// Ends the process at the k-th file operation, before it runs.
struct DeathAt {
  uint64_t at;
  uint64_t count;
};

inline uint32_t die_at(FileOp, const std::u16string&, void* context) {
  auto* death = static_cast<DeathAt*>(context);
  if (++death->count == death->at) _exit(kDiedExit);
  return 0;
}

// The fixture of the crash sweeps: a kit, the template directory as the
// user had it, and the trees before and after a clean installation. With
// the parameter true the run is given the template directory through a
// symbolic link (its times must come back on the folder, not the link).
class CrashSweepFixture : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      ASSERT_EQ(0, symlink(scene.templateDir().c_str(), scene.scratch("link").c_str()));
      given_ = scene.scratch("link");
    } else {
      given_ = scene.templateDir();
    }
    {
      // The kit's unpacked container lies apart, so that the temporary
      // directory shows only what runs leave.
      mkdir(scene.scratch("kit").c_str(), 0755);
      EnvGuard kitTemp("TMPDIR", scene.scratch("kit").c_str());
      ASSERT_TRUE(openKit(scene.scratch(""), sweepKit(200 * 1024), kit));
    }
    populateTemplate(scene.templateDir());
    before = snapshot(scene.templateDir());
    ASSERT_EQ(0u, install());
    installed = installedView(scene.templateDir());
    ASSERT_EQ(sweepBytes(2500, 6), readText(scene / "sub/a.txt"));
    ASSERT_EQ("replaces the link", readText(scene / "link.txt"));
    expectNothingLeft("clean run");
  }

  uint32_t install() {
    data.init(&kit, widen_lib(given_));
    Installer installer;
    installer.setFileLanes(lanes);
    return installer.run(&data);
  }
  // With lanes, the k-th operation of one run is not that of the next; a
  // sweep that must find the same state at each k sets 0.
  size_t lanes = FileLanes::lanesForThisMachine();

  // Runs `work` in a child that dies at its k-th file operation. True when
  // the child died, false when it finished.
  template <typename Work>
  bool runDyingAt(uint64_t k, Work work) {
    return runInChild([&] {
      DeathAt death{k, 0};
      FileSystem::SetFaultHook(&die_at, &death);
      work();
    });
  }

  // Runs `work` in a child process. True when the child ended with
  // kDiedExit, false when it finished.
  template <typename Work>
  bool runInChild(Work work) {
    const pid_t child = fork();
    if (child == 0) {
      work();
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    return WIFEXITED(status) && WEXITSTATUS(status) == kDiedExit;
  }

  void expectNothingLeft(const std::string& context) {
    EXPECT_TRUE(entryNames(scene.tempDir()).empty()) << context;
    const std::vector<std::string> inHome = leftInHome(scene.homeDir());
    EXPECT_TRUE(inHome.empty()) << context << ": " << inHome.front();
    std::vector<std::string> beside;
    for (const std::string& name : entryNames(scene.scratch("")))
      if (name != "tmp" && name != "home" && name != "kit" && name != "ovn8.okd" &&
          name != "templates" && name != "link")
        beside.push_back(name);
    EXPECT_TRUE(beside.empty()) << context << ": " << beside.front();
    for (const auto& node : snapshot(scene.templateDir())) {
      const std::string& name = node.first;
      const size_t slash = name.rfind('/');
      const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
      EXPECT_FALSE(last.compare(0, 6, ".n8new") == 0 || last.compare(0, 6, ".n8stp") == 0)
          << context << ": " << name;
    }
  }

  // The directory after the recovery of an interrupted run, counted as
  // rolled back or standing: whole, standing after any later interruption
  // once a run stood, and nothing left behind. A second start then finds
  // nothing more to do, and a normal run installs everything.
  void expectRecoveredWhole(const std::string& context, uint64_t& rolledBack, uint64_t& stood) {
    const bool back = differences(before, snapshot(scene.templateDir())).empty();
    expectWholeState(true, context);
    if (back)
      ++rolledBack;
    else
      ++stood;
    if (stood > 0) {
      EXPECT_FALSE(back) << context;
    }
    expectNothingLeft(context);
    EXPECT_TRUE(recover_stopped_installations().empty()) << context;
    EXPECT_EQ(0u, install()) << context;
    EXPECT_EQ("", differences(installed, installedView(scene.templateDir()))) << context;
    expectNothingLeft(context);
  }

  // The directory after a recovery: as before the run, or (`mayStand`) the
  // whole installed tree.
  void expectWholeState(bool mayStand, const std::string& context) {
    const std::string rolledBack = differences(before, snapshot(scene.templateDir()));
    if (rolledBack.empty()) return;
    const std::string stands = differences(installed, installedView(scene.templateDir()));
    EXPECT_TRUE(mayStand && stands.empty())
        << context << ": neither the old nor the new tree\n"
        << rolledBack << "-- against the installed tree:\n"
        << stands;
  }

  // Stops some work at k = 1, 2, ... (`stop(k)` is true when it stopped
  // there), after `prepare()` each time, until it finishes; after each stop
  // a start's recovery must leave `view()` as `before` or as `after`, and
  // nothing behind. Prints and checks how many of each there were.
  template <typename Prepare, typename Stop, typename View>
  void sweepBeforeOrAfter(Prepare prepare, Stop stop, View view,
                          const std::map<std::string, std::string>& before,
                          const std::map<std::string, std::string>& after, const std::string& what) {
    uint64_t rolledBack = 0, stood = 0, k = 1;
    for (;; ++k) {
      prepare();
      if (HasFatalFailure()) return;
      const std::string context = what + " at operation " + std::to_string(k);
      if (!stop(k)) {
        EXPECT_EQ("", differences(after, view())) << context;
        break;
      }
      recover_stopped_installations();
      const auto now = view();
      const bool back = differences(before, now).empty();
      EXPECT_TRUE(back || differences(after, now).empty())
          << context << ": neither before nor after\n" << differences(before, now);
      back ? ++rolledBack : ++stood;
      expectNothingLeft(context);
      if (HasFailure()) break;
    }
    std::printf("%s sweep: %llu stops, %llu rolled back, %llu stood\n", what.c_str(),
                (unsigned long long)(k - 1), (unsigned long long)rolledBack, (unsigned long long)stood);
    EXPECT_GT(rolledBack, 5u);
    EXPECT_GT(stood, 0u);
  }

  InstallScene scene{scratch_base()};
  std::string given_;
  KitReader kit;
  InstallProcessData data;
  std::map<std::string, std::string> before, installed;
};

}  // namespace install_test

#endif  // OVN8_INSTALL_CRASH_SWEEP_FIXTURE_H_
