#include "install/repair.h"

#include <gtest/gtest.h>

#include "install/crash_sweep_fixture.h"
#include "install/directory_check.h"
#include "install/installation_record.h"
#include "platform/file_fault_injector.h"
#include "platform/power_loss.h"

using namespace install_test;

namespace {

const int64_t kChangedTime = 1500000000;

// The tree with the kept-aside names' stamps taken out, so that runs at
// other seconds compare.
std::map<std::string, std::string> without_stamps(std::map<std::string, std::string> view) {
  std::map<std::string, std::string> out;
  for (auto& node : view) {
    const size_t at = node.first.find(".changed-");
    out[at == std::string::npos ? node.first : node.first.substr(0, at) + ".changed"] = node.second;
  }
  return out;
}

class RepairSweepTest : public CrashSweepFixture {
 protected:
  // One installed file gone, one changed, nothing kept aside.
  void damage() {
    for (const std::string& name : entryNames(scene.templateDir()))
      if (name.find(".changed-") != std::string::npos) unlink((scene / name).c_str());
    unlink((scene / "other/one.txt").c_str());
    writeFile(scene / "readme2.txt", "the user's edit", kChangedTime);
  }
  uint32_t repair(RepairOutcome& outcome) {
    return repair_directory(widen_lib(given_ + "/"), kit, "", outcome);
  }
  void repairOnce() {
    RepairOutcome outcome;
    repair(outcome);
  }
  template <typename Stop>
  void sweep(Stop stop, const char* what);
};

// The missing file comes back, the changed one is kept aside by a visible
// name and replaced, and the directory verifies whole; a failure at any
// step leaves the damaged directory exactly as it was.
TEST_P(RepairSweepTest, RepairsWhatDiffersAndAFailureChangesNothing) {
  damage();
  const auto damaged = snapshot(scene.templateDir());
  for (FileOp failing : {FileOp::CreateFile, FileOp::MoveFileEx}) {
    FileFaultInjector fault(1, ERROR_DISK_FULL);
    fault.only({failing}).below(widen_lib(given_ + "/")).skipping(u"/.n8stp");
    RepairOutcome outcome;
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), repair(outcome));
    EXPECT_EQ("", differences(damaged, snapshot(scene.templateDir())));
    expectNothingLeft("failed repair");
  }
  RepairOutcome outcome;
  ASSERT_EQ(0u, repair(outcome));
  EXPECT_EQ(2u, outcome.restored.size());
  ASSERT_EQ(1u, outcome.keptAside.size());
  EXPECT_EQ(u"readme2.txt", outcome.keptAside[0].first);
  EXPECT_EQ("the user's edit", readText(scene / narrow_lib(outcome.keptAside[0].second)));
  EXPECT_EQ("readme2", readText(scene / "readme2.txt"));
  EXPECT_EQ("one", readText(scene / "other/one.txt"));
  InstallationRecord record;
  ASSERT_EQ(0u, read_installation_record(widen_lib(scene.templateDir() + "/"), record));
  EXPECT_TRUE(check_directory(widen_lib(scene.templateDir() + "/"), record.entries).allOk());
  expectNothingLeft("repair");
}

// Stopped at every file operation (`stop(k)` true when it stopped), a
// repair is found at the next start either not begun or done.
template <typename Stop>
void RepairSweepTest::sweep(Stop stop, const char* what) {
  damage();
  const auto view = [&] { return without_stamps(installedView(scene.templateDir())); };
  const auto damaged = view();
  ASSERT_FALSE(runInChild([&] { repairOnce(); }));
  const auto repaired = view();
  ASSERT_NE("", differences(damaged, repaired));
  sweepBeforeOrAfter([&] { damage(); }, stop, view, damaged, repaired, std::string("repair ") + what);
}

TEST_P(RepairSweepTest, DeathAtEveryOperationEndsBeforeOrAfter) {
  sweep([&](uint64_t k) { return runDyingAt(k, [&] { repairOnce(); }); }, "death");
}

TEST_P(RepairSweepTest, PowerCutAtEveryOperationEndsBeforeOrAfter) {
  sweep(
      [&](uint64_t k) {
        return runInChild([&] {
          PowerLoss loss({scene.templateDir(), scene.tempDir(), scene.homeDir()}, k, kDiedExit);
          repairOnce();
        });
      },
      "power cut");
}

INSTANTIATE_TEST_SUITE_P(Target, RepairSweepTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "ThroughALink" : "Given");
                         });

}  // namespace
