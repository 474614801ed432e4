// Power-loss sweeps: the crash sweeps with the power failing instead of the
// process dying. At each cut every folder of the scene (the template
// directory, the temporary directories and HOME) is rewritten to what a
// file system without a metadata journal holds on its medium
// (platform/power_loss.h); the next start's recovery must then give back
// the directory as it was before the run or, after the commit, the whole
// installed tree, and leave nothing behind. Every cut point is tried, and
// each one that fails is named with its operation.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "install/crash_sweep_fixture.h"
#include "install/recovery.h"
#include "platform/file_op_name.h"
#include "platform/power_loss.h"

using namespace install_test;

namespace {

typedef std::vector<std::pair<FileOp, std::u16string>> Trace;

uint32_t traceOp(FileOp op, const std::u16string& path, void* context) {
  static_cast<Trace*>(context)->push_back({op, path});
  return 0;
}

// The file operations of `work`, run in this process.
template <typename Work>
Trace traceOf(Work work) {
  Trace trace;
  FileSystem::SetFaultHook(&traceOp, &trace);
  work();
  FileSystem::SetFaultHook(nullptr, nullptr);
  return trace;
}

int failuresSoFar() {
  return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

class PowerLossSweepTest : public CrashSweepFixture {
 protected:
  std::vector<std::string> watched() const {
    return {scene.templateDir(), scene.tempDir(), scene.homeDir()};
  }

  // Runs `work` in a child whose power fails before its k-th file
  // operation. True when the power failed, false when the child finished.
  template <typename Work>
  bool runCutAt(uint64_t k, Work work) {
    return runInChild([&] {
      PowerLoss loss(watched(), k, kDiedExit);
      work();
    });
  }

  // The template directory as the user had it and nothing else in the
  // watched folders: what a failing cut point left stays out of the next.
  void resetScene() {
    populateTemplate(scene.templateDir());
    for (const std::string& folder : watched())
      if (folder != scene.templateDir())
        for (const std::string& name : entryNames(folder)) testkit::removeTree(folder + "/" + name);
  }

  // The first k whose death (the process killed, no power cut) leaves the
  // installation standing after a recovery: the first after the commit.
  uint64_t firstDeathThatStands(uint64_t total) {
    uint64_t low = 1, high = total;
    while (low < high) {
      const uint64_t k = (low + high) / 2;
      resetScene();
      runDyingAt(k, [&] { install(); });
      recover_stopped_installations();
      if (differences(installed, installedView(scene.templateDir())).empty())
        high = k;
      else
        low = k + 1;
    }
    return low;
  }

  // "cut before operation 57 of the recovery (MoveFileEx templates/a.txt)".
  std::string cutPoint(const Trace& trace, uint64_t k, const std::string& work) const {
    std::string point = "cut before operation " + std::to_string(k) + " of the " + work;
    if (k > trace.size()) return point;
    return point + " (" + file_op_name(trace[k - 1].first) + " " + shortPath(trace[k - 1].second) +
           ")";
  }

  std::string shortPath(const std::u16string& widePath) const {
    const std::string path = narrow_lib(widePath);
    const std::string scratch = scene.scratch("");
    if (path.compare(0, scratch.size(), scratch) == 0) return path.substr(scratch.size());
    return path;
  }

  void reportFailingPoints(const std::vector<std::string>& points) const {
    for (const std::string& point : points) std::printf("  failing: %s\n", point.c_str());
  }
};

TEST_P(PowerLossSweepTest, PowerCutAtEveryOperationIsRecoveredWhole) {
  resetScene();
  const Trace trace = traceOf([&] { install(); });
  uint64_t rolledBack = 0, stood = 0;
  std::vector<std::string> failing;
  uint64_t k = 1;
  for (;; ++k) {
    resetScene();
    const std::string context = cutPoint(trace, k, "installation");
    const int failures = failuresSoFar();
    if (!runCutAt(k, [&] { install(); })) {
      EXPECT_EQ("", differences(installed, installedView(scene.templateDir()))) << context;
      expectNothingLeft(context);
      break;
    }
    recover_stopped_installations();
    expectRecoveredWhole(context, rolledBack, stood);
    if (failuresSoFar() != failures) failing.push_back(context);
  }
  std::printf("power-cut sweep: %llu cuts, %llu rolled back, %llu stood, %zu failing\n",
              (unsigned long long)(k - 1), (unsigned long long)rolledBack,
              (unsigned long long)stood, failing.size());
  reportFailingPoints(failing);
  EXPECT_EQ(trace.size() + 1, k);
  EXPECT_GT(rolledBack, 100u);
  EXPECT_GT(stood, 0u);
}

// A run killed in the middle and one killed just after its commit (what it
// left unsynced is taken as on the medium); then a start in which the power
// fails at every operation: its recovery, and the next installation into
// the same directory, whose syncs can carry what the recovery left unsynced
// to the medium. The next start's recovery must still give the whole state.
TEST_P(PowerLossSweepTest, PowerCutDuringRecoveryIsRecoveredAtTheNextStart) {
  // The killed run leaves the same state every time: the recovery's
  // operations are counted once for all the cuts.
  lanes = 0;
  resetScene();
  const uint64_t total = traceOf([&] { install(); }).size();
  const uint64_t committed = firstDeathThatStands(total);
  ASSERT_GT(committed, total / 2);
  auto start = [&] {
    recover_stopped_installations();
    install();
  };
  std::vector<std::string> failing;
  for (const uint64_t runDeath : {total * 2 / 3, committed}) {
    const std::string run = "run killed before operation " + std::to_string(runDeath) + ", ";
    resetScene();
    ASSERT_TRUE(runDyingAt(runDeath, [&] { install(); }));
    Trace trace = traceOf([] { recover_stopped_installations(); });
    const uint64_t recovery = trace.size();
    ASSERT_GT(recovery, 10u);
    const Trace next = traceOf([&] { install(); });
    trace.insert(trace.end(), next.begin(), next.end());
    uint64_t j = 1;
    for (;; ++j) {
      resetScene();
      const std::string context =
          run + cutPoint(trace, j, j <= recovery ? "recovery" : "start (in the installation)");
      const int failures = failuresSoFar();
      ASSERT_TRUE(runDyingAt(runDeath, [&] { install(); })) << context;
      const bool cut = runCutAt(j, start);
      recover_stopped_installations();
      expectWholeState(runDeath >= committed || j > recovery, context);
      expectNothingLeft(context);
      if (failuresSoFar() != failures) failing.push_back(context);
      if (!cut) break;
    }
    std::printf("power-cut sweep of a start after a death at %llu of %llu: %llu cuts\n",
                (unsigned long long)runDeath, (unsigned long long)total,
                (unsigned long long)(j - 1));
    EXPECT_EQ(trace.size() + 1, j);
  }
  std::printf("%zu failing\n", failing.size());
  reportFailingPoints(failing);
}

INSTANTIATE_TEST_SUITE_P(Target, PowerLossSweepTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "ThroughALink" : "Given";
                         });

}  // namespace
