#include "install/uninstallation.h"

#include <gtest/gtest.h>

#include "install/crash_sweep_fixture.h"
#include "install/installation_record.h"
#include "install/installer.h"
#include "install/recovery.h"
#include "platform/file_fault_injector.h"
#include "platform/power_loss.h"

using namespace install_test;

namespace {

const int64_t kKitTime = 1600000000;

class UninstallationTest : public testing::Test {
 protected:
  uint32_t install(const std::vector<config::KitFileSpec>& files) {
    if (!openKit(scene.scratch(""), files, kit)) return ERROR_INVALID_DATA;
    data.init(&kit, target());
    return Installer().run(&data);
  }
  std::u16string target() const { return widen_lib(scene.templateDir() + "/"); }

  InstallScene scene;
  KitReader kit;
  InstallProcessData data;
};

// What the installation wrote and nobody changed goes, with the folders it
// empties and the record; the user's files and changed ones stay, named.
TEST_F(UninstallationTest, RemovesOnlyUnchangedFilesOfTheInstallation) {
  writeFile(scene / "mine.txt", "mine", kKitTime);
  writeFile(scene / "newer.txt", "user's newer", kKitTime + 100);
  ASSERT_EQ(0u, install({{u"a.txt", "a", kitTime(kKitTime)},
                         {u"newer.txt", "kit", kitTime(kKitTime)},
                         {u"forms\\deep\\b.xml", "<b/>", kitTime(kKitTime)},
                         {u"forms\\c.xml", "<c/>", kitTime(kKitTime)},
                         {u"docs\\d.txt", "d", kitTime(kKitTime)},
                         {u"docs\\e.txt", "e", kitTime(kKitTime)}}));
  writeFile(scene / "forms/c.xml", "<c>edited</c>", kKitTime);
  writeFile(scene / "docs/added by user.txt", "user's", kKitTime);
  UninstallOutcome outcome;
  ASSERT_EQ(0u, uninstall_directory(target(), outcome));
  EXPECT_EQ(4u, outcome.removedFiles);  // a, b, d, e
  EXPECT_EQ(std::vector<std::u16string>{u"forms/c.xml"}, outcome.keptChanged);
  EXPECT_EQ(1u, outcome.keptOther);
  EXPECT_FALSE(outcome.emptied);
  EXPECT_FALSE(exists(scene / "a.txt"));
  EXPECT_FALSE(exists(scene / "forms/deep"));
  EXPECT_FALSE(exists(scene / ".n8ctl"));
  EXPECT_EQ("<c>edited</c>", readText(scene / "forms/c.xml"));
  EXPECT_EQ("user's", readText(scene / "docs/added by user.txt"));
  EXPECT_EQ("user's newer", readText(scene / "newer.txt"));
  EXPECT_EQ("mine", readText(scene / "mine.txt"));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
  // Without a record there is nothing to uninstall, and nothing changes.
  const auto after = snapshot(scene.templateDir());
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), uninstall_directory(target(), outcome));
  EXPECT_EQ("", differences(after, snapshot(scene.templateDir())));
}

// Files reached through a folder that became a link lie outside the
// directory: the uninstallation says so and removes nothing, there or here.
TEST_F(UninstallationTest, NothingIsRemovedThroughALinkedFolder) {
  ASSERT_EQ(0u, install({{u"a.txt", "a", kitTime(kKitTime)}, {u"forms\\b.xml", "<b/>", kitTime(kKitTime)}}));
  const std::string moved = scene.scratch("moved-forms");
  ASSERT_EQ(0, rename((scene / "forms").c_str(), moved.c_str()));
  ASSERT_EQ(0, symlink(moved.c_str(), (scene / "forms").c_str()));
  const auto before = snapshot(scene.templateDir());
  const auto movedBefore = snapshot(moved);
  UninstallOutcome outcome;
  EXPECT_EQ(ERROR_LINKED_FOLDER, uninstall_directory(target(), outcome));
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_EQ("", differences(movedBefore, snapshot(moved)));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
}

// A failure at any removal puts every file, folder and time back.
TEST_F(UninstallationTest, AFailureAtAnyStepRollsBackExactly) {
  ASSERT_EQ(0u, install({{u"a.txt", "a", kitTime(kKitTime)},
                         {u"sub\\deeper\\b.txt", "b", kitTime(kKitTime)},
                         {u"sub\\c.txt", "c", kitTime(kKitTime)}}));
  for (FileOp failing : {FileOp::DeleteFile, FileOp::RemoveEmptyDirectory}) {
    const auto installed = snapshot(scene.templateDir());
    for (uint64_t k = 1;; ++k) {
      FileFaultInjector fault(k, ERROR_ACCESS_DENIED);
      fault.only({failing}).below(target()).skipping(u"/.n8stp");
      UninstallOutcome outcome;
      const uint32_t result = uninstall_directory(target(), outcome);
      if (!fault.fired()) {
        EXPECT_EQ(0u, result);
        break;
      }
      EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), result) << k;
      EXPECT_EQ("", differences(installed, snapshot(scene.templateDir()))) << k;
      EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
    }
    EXPECT_FALSE(exists(scene / "sub"));
    ASSERT_EQ(0u, install({{u"a.txt", "a", kitTime(kKitTime)},
                           {u"sub\\deeper\\b.txt", "b", kitTime(kKitTime)},
                           {u"sub\\c.txt", "c", kitTime(kKitTime)}}));
  }
}

class UninstallCrashSweepTest : public CrashSweepFixture {
 protected:
  void uninstall() {
    UninstallOutcome outcome;
    uninstall_directory(widen_lib(given_ + "/"), outcome);
  }
};

// Stopped at every file operation (`stop(k)` true when it stopped), an
// uninstallation is found at the next start either not begun or done,
// never half done.
class UninstallSweeps : public UninstallCrashSweepTest {
 protected:
  template <typename Stop>
  void sweep(Stop stop, const char* what) {
    ASSERT_FALSE(runInChild([&] { uninstall(); }));
    const auto view = [&] { return installedView(scene.templateDir()); };
    const auto removed = view();
    ASSERT_FALSE(exists(scene / ".n8ctl/record"));
    // Installed again: the originals the first installation replaced are gone.
    ASSERT_EQ(0u, install());
    const auto reinstalled = view();
    const auto prepare = [&] {
      if (!exists(scene / ".n8ctl/record")) {
        ASSERT_EQ(0u, install());
      }
    };
    sweepBeforeOrAfter(prepare, stop, view, reinstalled, removed, std::string("uninstall ") + what);
  }
};

TEST_P(UninstallSweeps, DeathAtEveryOperationEndsBeforeOrAfter) {
  sweep([&](uint64_t k) { return runDyingAt(k, [&] { uninstall(); }); }, "death");
}

TEST_P(UninstallSweeps, PowerCutAtEveryOperationEndsBeforeOrAfter) {
  sweep(
      [&](uint64_t k) {
        return runInChild([&] {
          PowerLoss loss({scene.templateDir(), scene.tempDir(), scene.homeDir()}, k, kDiedExit);
          uninstall();
        });
      },
      "power cut");
}

INSTANTIATE_TEST_SUITE_P(Target, UninstallSweeps, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "ThroughALink" : "Given");
                         });

}  // namespace
