// Fault sweeps: one installation into a populated template directory, run
// again and again with the k-th file operation failing (or the run being
// cancelled at the k-th operation), for every k until a run no longer meets
// the fault. Every failed or cancelled run must leave the template directory
// exactly as it was and no backup folder behind.
#include <gtest/gtest.h>

#include <errno.h>

#include "install/install_test_util.h"
#include "install/installer.h"
#include "platform/file_fault_injector.h"
#include "resources/lang.h"

using namespace install_test;

namespace {

const int64_t kKitTime = 1600000000;
const int64_t kOlder = kKitTime - 86400;
const int64_t kNewer = kKitTime + 86400;

std::string bytes(size_t size, int seed) {
  std::string data(size, '\0');
  uint32_t x = uint32_t(seed) * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  return data;
}

// The template directory as the user had it before installing.
void populateTemplate(const std::string& root) {
  fs_test::removeTreeIndependently(root);
  mkdir(root.c_str(), 0755);
  writeFile(root + "/readme.txt", "old readme", kOlder);
  writeFile(root + "/same.txt", "same time", kKitTime);
  writeFile(root + "/newer.txt", "user's newer file", kNewer);
  writeFile(root + "/sub/a.txt", bytes(3000, 1), kOlder, 0600);
  writeFile(root + "/sub/keep.txt", "not in the kit", kOlder);
  writeFile(root + "/sub/deep/old.bin", bytes(70000, 2), kOlder, 0755);
  writeFile(root + "/sub/deep/newer.bin", "newer binary", kNewer, 0700);
  symlink("readme.txt", (root + "/link.txt").c_str());
  setTimes(root + "/link.txt", kOlder, 55);
  mkdir((root + "/emptydir").c_str(), 0700);
  setTimes(root + "/emptydir", kOlder, 11);
  setTimes(root + "/sub/deep", kOlder, 22);
  setTimes(root + "/sub", kOlder, 33);
  setTimes(root, kOlder, 44);
}

std::vector<config::KitFileSpec> sweepKit() {
  auto at = [](int64_t seconds) { return kitTime(seconds); };
  return {
      {u"readme.txt", "new readme", at(kKitTime)},
      {u"same.txt", "kit version", at(kKitTime)},
      {u"newer.txt", "kit version", at(kKitTime)},
      {u"sub\\a.txt", bytes(2000, 3), at(kKitTime)},
      {u"sub\\deep\\old.bin", bytes(50000, 4), at(kKitTime)},
      {u"sub\\deep\\newer.bin", "kit version", at(kKitTime)},
      {u"sub\\new.txt", "new in an existing folder", at(kKitTime)},
      {u"n1\\n2\\n3\\deep.txt", "three new levels", at(kKitTime)},
      {u"n1\\n2\\mid.txt", "mid", at(kKitTime)},
      {u"n1\\top.txt", "top", at(kKitTime)},
      {u"sub\\deep\\fresh\\x.txt", "new folder in an old one", at(kKitTime)},
      {u"big.bin", bytes(1536 * 1024, 5), at(kKitTime)},  // more than one copy block
      {u"empty.txt", "", at(kKitTime)},
      {u"sub\\a.txt", bytes(2500, 6), at(kKitTime + 60)},  // the same name again, newer
      {u"other\\one.txt", "one", at(kKitTime)},
      {u"other\\two.txt", "two", at(kKitTime)},
      {u"sub/deep\\old.bin", bytes(40000, 7), at(kKitTime + 120)},  // same file, other separator
      {u"n1\\n2\\n3\\deep2.txt", "deep2", at(kKitTime)},
      {u"readme2.txt", "readme2", at(kKitTime)},
      {u"zzz\\last.txt", "last", at(kKitTime)},
  };
}

// Files and links with contents, modes and times; directories by name and
// mode only (the run gives new directories the time of their creation).
std::map<std::string, std::string> installedView(const std::string& root) {
  std::map<std::string, std::string> view = snapshot(root);
  for (auto& node : view)
    if (node.second.find(" dir") != std::string::npos)
      node.second = node.second.substr(0, node.second.find(' ')) + " dir";
  return view;
}

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
    if (op == FileOp::CreateFile &&
        path.compare(0, self->templateDir_.size(), self->templateDir_) == 0) {
      self->lastWritten = path;
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

class InstallerSweepTest : public testing::Test {
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
    EXPECT_EQ(bytes(2500, 6), readText(scene / "sub/a.txt"));
    EXPECT_EQ(bytes(40000, 7), readText(scene / "sub/deep/old.bin"));
    EXPECT_EQ("newer binary", readText(scene / "sub/deep/newer.bin"));
    EXPECT_EQ("three new levels", readText(scene / "n1/n2/n3/deep.txt"));
    ASSERT_GT(progressAt.size(), 60u);
  }

  std::u16string wide(const std::string& text) { return widen_lib(text); }

  uint32_t run() {
    data.init(&kit, wide(scene.templateDir()));
    Installer installer(0);
    return installer.run(&data);
  }

  void expectUntouched(const std::string& context) {
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir()))) << context;
    EXPECT_TRUE(backupFolders(scene.tempDir()).empty()) << context;
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
        EXPECT_EQ("", unreadableReplaced(differences(installed, installedView(scene.templateDir()))))
            << context;
        EXPECT_EQ(100, progress) << context;
        const std::vector<std::string> left = backupFolders(scene.tempDir());
        if (!left.empty()) {
          ++backupsLeft;
          EXPECT_EQ(progressAt.size(), k) << context;
        }
        for (const std::string& folder : left)
          fs_test::removeTreeIndependently(scene.tempDir() + "/" + folder);
        continue;
      }
      EXPECT_EQ(result, code) << context;
      EXPECT_EQ(u"Installation error", message) << context;
      EXPECT_EQ(progressAt[k - 1], progress) << context;
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

TEST_F(InstallerSweepTest, EveryFailedOperationIsRolledBack) {
  const uint64_t tried = sweepFaults(errorFromErrNo(ENOSPC));
  std::printf("fault sweep: %llu fault points, %llu rolled back, %llu survived after success\n",
              (unsigned long long)tried, (unsigned long long)(tried - survived),
              (unsigned long long)survived);
  EXPECT_LE(backupsLeft, 1u);
}

// "Not found" from a move would mean that no file stood there; the run must
// not take a failing move of an existing file for that.
TEST_F(InstallerSweepTest, NotFoundFromAnyOperationLosesNothing) {
  const uint64_t tried = sweepFaults(ERROR_FILE_NOT_FOUND);
  std::printf("not-found sweep: %llu fault points\n", (unsigned long long)tried);
}

TEST_F(InstallerSweepTest, CancellingAtAnyPointRestoresTheTemplate) {
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
      EXPECT_TRUE(backupFolders(scene.tempDir()).empty()) << context;
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

}  // namespace
