// Fault sweeps: one installation into a populated template directory, run
// again and again with the k-th file operation failing (or the run being
// cancelled at the k-th operation), for every k until a run no longer meets
// the fault. Every failed or cancelled run must leave the template directory
// exactly as it was and no backup folder behind.
#include <gtest/gtest.h>

#include <errno.h>

#include "install/install_sweep_util.h"
#include "install/installer.h"
#include "install/recovery.h"
#include "platform/file_fault_injector.h"
#include "resources/lang.h"
#include "resources/reasons.h"

using namespace install_test;

namespace {

const int64_t kKitTime = kSweepKitTime;

// The differences without those of a file that a failed read check made
// the run replace by the whole kit version (a file that cannot be read is
// replaced, its original kept until the run succeeds).
std::string unreadableReplaced(const std::string& differences) {
  std::string rest;
  size_t begin = 0;
  while (begin < differences.size()) {
    size_t end = differences.find('\n', begin);
    std::string line = differences.substr(begin, end - begin);
    begin = end + 1;
    bool replaced = line.size() > 12 && line.compare(line.size() - 12, 12, " kit version") == 0;
    if (!replaced) rest += line + "\n";
  }
  return rest;
}

// Notes, for every file operation of a clean run, the progress reported
// when it ran; and, in cancel mode, asks for cancellation at the k-th.
class OperationTrace {
 public:
  OperationTrace(InstallProcessData& data, const std::u16string& templateDir, uint64_t cancelAt)
      : data_(data), templateDir_(templateDir), cancelAt_(cancelAt) {
    FileSystem::SetFaultHook(&OperationTrace::hook, this);
  }
  ~OperationTrace() { FileSystem::SetFaultHook(nullptr, nullptr); }

  std::vector<int> progressAt;        // per operation, 1-based k at index k - 1
  bool cancelled = false;
  std::u16string lastWritten;         // destination of the last entry opened for writing
  int lastWrittenProgress = -1;

 private:
  static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
    auto* self = static_cast<OperationTrace*>(context);
    uint32_t code;
    std::u16string message;
    int progress;
    self->data_.getInstallState(code, message, progress);
    self->progressAt.push_back(progress);
    // Entries are written under a temporary name beside their place, once
    // their report has been made.
    if (op == FileOp::CreateFile &&
        path.compare(0, self->templateDir_.size(), self->templateDir_) == 0 &&
        path.find(u"/.n8new") != std::u16string::npos) {
      self->lastWritten = message;
      self->lastWrittenProgress = progress;
    }
    if (self->progressAt.size() == self->cancelAt_) {
      self->data_.setCancel(true);
      self->cancelled = true;
    }
    return 0;
  }

  InstallProcessData& data_;
  std::u16string templateDir_;
  uint64_t cancelAt_;
};

// With the parameter 0 the run's own thread writes every file, and its
// operations come in one order; with 2 the lanes write them beside it.
class InstallerSweepTest : public testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(openKit(scene.scratch(""), sweepKit(), kit));
    // The outcome of a clean run, and the progress at each of its operations.
    populateTemplate(scene.templateDir());
    before = snapshot(scene.templateDir());
    {
      OperationTrace trace(data, wide(scene.templateDir() + "/"), 0);
      ASSERT_EQ(0u, run());
      progressAt = trace.progressAt;
    }
    installed = installedView(scene.templateDir());
    EXPECT_EQ("new readme", readText(scene / "readme.txt"));
    EXPECT_EQ("same time", readText(scene / "same.txt"));
    EXPECT_EQ(sweepBytes(2500, 6), readText(scene / "sub/a.txt"));
    EXPECT_EQ(sweepBytes(40000, 7), readText(scene / "sub/deep/old.bin"));
    EXPECT_EQ("newer binary", readText(scene / "sub/deep/newer.bin"));
    EXPECT_EQ("three new levels", readText(scene / "n1/n2/n3/deep.txt"));
    ASSERT_GT(progressAt.size(), 60u);
  }

  std::u16string wide(const std::string& text) { return widen_lib(text); }

  uint32_t run() {
    data.init(&kit, wide(scene.templateDir()));
    Installer installer;
    installer.setFileLanes(GetParam());
    return installer.run(&data);
  }

  void expectUntouched(const std::string& context) {
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir()))) << context;
    expectNothingLeft(context);
  }

  // No backup folder, journal or run record, no temporary file.
  void expectNothingLeft(const std::string& context) {
    EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty()) << context;
    EXPECT_TRUE(leftInHome(scene.homeDir()).empty()) << context;
    EXPECT_EQ(std::vector<std::string>{"templates"}, nonScratch()) << context;
  }

  // The names beside the template directory other than the test's own.
  std::vector<std::string> nonScratch() {
    std::vector<std::string> names;
    for (const std::string& name : entryNames(scene.scratch("")))
      if (name != "tmp" && name != "home" && name != "ovn8.okd") names.push_back(name);
    return names;
  }

  // Fails operation k with `error` for k = 1, 2, ... until a run does not
  // meet the fault; returns the number of fault points tried.
  uint64_t sweepFaults(uint32_t error) {
    uint64_t k = 1;
    for (;; ++k) {
      populateTemplate(scene.templateDir());
      uint32_t result;
      bool fired;
      FileOp failedOp;
      {
        FileFaultInjector fault(k, error);
        result = run();
        fired = fault.fired();
        failedOp = fault.firedOp();
      }
      const std::string context = "fault at operation " + std::to_string(k);
      if (!fired) {
        EXPECT_EQ(0u, result);
        EXPECT_EQ(progressAt.size() + 1, k);
        break;
      }
      uint32_t code;
      std::u16string message;
      int progress;
      data.getInstallState(code, message, progress);
      // Cutting a written file and giving it the entry's time are best
      // effort: a refusal leaves the bytes installed and the run going on.
      if (failedOp == FileOp::SetFileTime || failedOp == FileOp::SetEndOfFile) {
        EXPECT_EQ(0u, result) << context;
        EXPECT_EQ(100, progress) << context;
        ++survived;
        continue;
      }
      if (result == ERROR_SUCCESS) {
        // A failed look that the run repeats or does without, or the
        // deletion of the backup folder after a complete run, need not fail
        // the run; the installation then stands whole.
        ++survived;
        EXPECT_EQ(100, progress) << context;
        // A failed clean-up after the commit leaves what the next start
        // deletes, and nothing else.
        if (!privateFoldersIn(scene.templateDir()).empty() || !leftInHome(scene.homeDir()).empty()) {
          ++backupsLeft;
          EXPECT_TRUE(recover_stopped_installations().empty()) << context;
        }
        EXPECT_EQ("", unreadableReplaced(differences(installed, installedView(scene.templateDir()))))
            << context;
        expectNothingLeft(context);
        continue;
      }
      EXPECT_EQ(result, code) << context;
      // The report is the installation error, the file (or the directory)
      // and the reason.
      EXPECT_EQ(0u, message.find(u"Installation error")) << context;
      const std::u16string reason = failure_reason(code);
      EXPECT_EQ(message.size() - reason.size(), message.rfind(reason)) << context;
      // The failure is reported where the progress stands, never behind
      // the entry at which it happened; the run may have been planning
      // entries ahead of the last report. With lanes, the k-th operation
      // is not the same in every run.
      if (GetParam() == 0) {
        EXPECT_GE(progress, progressAt[k - 1]) << context;
      }
      expectUntouched(context);
      if (HasFailure()) break;
    }
    return k - 1;
  }

  InstallScene scene;
  KitReader kit;
  InstallProcessData data;
  std::map<std::string, std::string> before, installed;
  std::vector<int> progressAt;
  uint64_t survived = 0;
  uint64_t backupsLeft = 0;
};

TEST_P(InstallerSweepTest, EveryFailedOperationIsRolledBack) {
  const uint64_t tried = sweepFaults(errorFromErrNo(ENOSPC));
  std::printf("fault sweep: %llu fault points, %llu rolled back, %llu survived after success\n",
              (unsigned long long)tried, (unsigned long long)(tried - survived),
              (unsigned long long)survived);
  EXPECT_LE(backupsLeft, 4u);
}

// "Not found" from a move would mean that no file stood there; the run must
// not take a failing move of an existing file for that.
TEST_P(InstallerSweepTest, NotFoundFromAnyOperationLosesNothing) {
  const uint64_t tried = sweepFaults(ERROR_FILE_NOT_FOUND);
  std::printf("not-found sweep: %llu fault points\n", (unsigned long long)tried);
}

TEST_P(InstallerSweepTest, CancellingAtAnyPointRestoresTheTemplate) {
  uint64_t cancelledRuns = 0;
  for (uint64_t k = 1;; ++k) {
    populateTemplate(scene.templateDir());
    uint32_t result;
    bool asked;
    int lastProgress;
    {
      OperationTrace trace(data, wide(scene.templateDir() + "/"), k);
      result = run();
      asked = trace.cancelled;
      lastProgress = trace.lastWrittenProgress;
    }
    const std::string context = "cancel at operation " + std::to_string(k);
    if (!asked) break;
    uint32_t code;
    std::u16string message;
    int progress;
    data.getInstallState(code, message, progress);
    if (result == ERROR_SUCCESS) {
      // Asked after the last written entry: nothing was left to stop.
      EXPECT_EQ(100, progress) << context;
      EXPECT_EQ("", differences(installed, installedView(scene.templateDir()))) << context;
      expectNothingLeft(context);
      continue;
    }
    ++cancelledRuns;
    EXPECT_EQ(ERROR_CANCELLED, result) << context;
    // The request is seen before the next entry (or after the last): no
    // further entry is reported, and the state never claims success.
    EXPECT_EQ(0u, code) << context;
    EXPECT_LT(progress, 100) << context;
    EXPECT_LE(lastProgress, progress) << context;
    expectUntouched(context);
    if (HasFailure()) break;
  }
  std::printf("cancel sweep: %llu cancelled runs rolled back\n", (unsigned long long)cancelledRuns);
  EXPECT_GT(cancelledRuns, 40u);
}

INSTANTIATE_TEST_SUITE_P(Lanes, InstallerSweepTest, testing::Values(size_t(0), size_t(2)));

}  // namespace
