// Repairing and removing an installation through the session, as the
// window does, without a display.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "install/install_test_util.h"
#include "install/installation_session.h"
#include "platform/file_fault_injector.h"
#include "resources/lang.h"

using namespace install_test;

namespace {

std::u16string w(const std::string& text) { return widen_lib(text); }

const int64_t kKit = 1600000000;

// What a face is told; with `cancels` the user cancels at the first report.
class MaintenanceView : public SessionView {
 public:
  MaintenanceView(InstallationSession& session, bool cancels) : session_(session), cancels_(cancels) {}
  void showNotice(const SessionMessage&) override { events.push_back("notice"); }
  void runStarted() override {
    events.push_back("started");
    // The run waits before its first step until the answer is in.
    if (cancels_) session_.pauseRun(true);
  }
  void showReport(const RunReport& report) override {
    if (events.back() != "report") events.push_back("report");
    last = report;
    if (cancels_ && !answered_) {
      answered_ = true;
      session_.requestCancel();
      session_.pauseRun(false);
    }
    if (report.phase != RunPhase::kEnded) usleep(1000);
  }
  std::vector<std::string> events;
  RunReport last;

 private:
  InstallationSession& session_;
  const bool cancels_;
  bool answered_ = false;
};

class SessionMaintenanceTest : public testing::Test {
 protected:
  void SetUp() override {
    original_ = getcwd(buffer_, sizeof buffer_) ? buffer_ : "/";
    ASSERT_EQ(0, chdir(scene.scratch("").c_str()));
    ASSERT_TRUE(writeKitFile(u"2.1", "alpha"));
  }
  void TearDown() override { EXPECT_EQ(0, chdir(original_.c_str())); }

  bool writeKitFile(const std::u16string& version, const std::string& alpha) {
    config::KitSpec kit;
    config::KitDescription description;
    description.languageCode = u"en";
    description.productName = u"Product";
    description.providerName = u"Vendor";
    kit.descriptions.push_back(description);
    kit.kitVersion = version;
    kit.files = {{u"a.txt", alpha, kitTime(kKit)},
                 {u"sub\\b.txt", "beta", kitTime(kKit)},
                 {u"sub\\c.txt", "gamma", kitTime(kKit)}};
    return config::writeKit(scene.scratch("ovn8.okd"), kit);
  }

  std::unique_ptr<InstallationSession> started() {
    SessionSettings given;
    given.useCurrentDirectory = true;
    given.silent = true;
    given.target = w(scene.templateDir());
    auto session = std::make_unique<InstallationSession>(given);
    SessionMessage refusal;
    EXPECT_TRUE(session->start(nullptr, refusal)) << narrow_lib(refusal.text);
    return session;
  }

  // A session whose kit was installed into the template directory.
  std::unique_ptr<InstallationSession> installed() {
    auto session = started();
    MaintenanceView view(*session, false);
    EXPECT_EQ(SessionOutcome::End::kInstalled, session->install(view).end);
    return session;
  }

  InstallScene scene;
  char buffer_[4096];
  std::string original_;
};

TEST_F(SessionMaintenanceTest, AnInstallationOfThisVeryKitIsFoundWithItsVersionAndDate) {
  auto session = started();
  EXPECT_FALSE(session->installedKit().present);
  EXPECT_EQ(u"", session->installedText());
  const int64_t before = time(nullptr);
  MaintenanceView view(*session, false);
  session->install(view);
  // Found after the run, when proposed and when chosen, not in another folder.
  EXPECT_TRUE(session->installedKit().present);
  EXPECT_EQ(u"2.1", session->installedKit().version);
  EXPECT_LE(before, session->installedKit().installedAt);
  EXPECT_GE(time(nullptr), session->installedKit().installedAt);
  EXPECT_TRUE(started()->installedKit().present);
  std::u16string chosen;
  SessionMessage refusal;
  ASSERT_TRUE(session->chooseDirectory(w(scene.scratch("elsewhere")), chosen, refusal));
  EXPECT_FALSE(session->installedKit().present);
  ASSERT_TRUE(session->chooseDirectory(w(scene.templateDir()), chosen, refusal));
  ASSERT_TRUE(session->installedKit().present);
  const std::u16string text = session->installedText();
  EXPECT_EQ(0u, text.find(LoadResString("IDS_MAINT_INSTALLED") + u"\n" +
                          FormatResString("IDS_MAINT_VERSION", {u"2.1"}) + u"\n"));
  EXPECT_NE(std::u16string::npos, text.find(u"\n" + FormatResString("IDS_MAINT_DATE", {u""})));

  // A record others may write is not trusted; another kit's is not this one.
  const std::string record = scene / ".n8ctl/record";
  chmod(record.c_str(), 0666);
  EXPECT_FALSE(started()->installedKit().present);
  chmod(record.c_str(), 0600);
  ASSERT_TRUE(writeKitFile(u"2.1", "another alpha"));
  EXPECT_FALSE(started()->installedKit().present);
}

TEST_F(SessionMaintenanceTest, RepairPutsBackWhatIsMissingAndKeepsAChangedFileAside) {
  auto session = installed();
  ASSERT_EQ(0, unlink((scene / "sub/b.txt").c_str()));
  writeFile(scene / "a.txt", "the user's alpha", kKit + 5);
  MaintenanceView view(*session, false);
  const SessionOutcome outcome = session->repair(view);
  EXPECT_EQ(SessionOutcome::End::kRepaired, outcome.end);
  EXPECT_EQ(kExitSuccess, outcome.exitStatus);
  EXPECT_TRUE(outcome.changed);
  EXPECT_EQ((std::vector<std::string>{"started", "report"}), view.events);
  EXPECT_EQ(RunPhase::kEnded, view.last.phase);
  EXPECT_EQ("alpha", readText(scene / "a.txt"));
  EXPECT_EQ("beta", readText(scene / "sub/b.txt"));
  EXPECT_EQ((std::vector<std::u16string>{u"a.txt", u"sub/b.txt"}), outcome.repair.restored);
  ASSERT_EQ(1u, outcome.repair.keptAside.size());
  const std::u16string keptAs = outcome.repair.keptAside[0].second;
  EXPECT_EQ(0u, keptAs.find(u"a.txt.changed-"));
  EXPECT_EQ("the user's alpha", readText(scene / narrow_lib(keptAs)));
  EXPECT_EQ(LoadResString("IDS_MAINT_REPAIRED") + u"\n\n" + LoadResString("IDS_TEMPLATE_CATALOG") + u" " +
                w(scene.templateDir()) + u"\n" + FormatResString("IDS_MAINT_RESTORED", {u"2"}) + u"\n\n" +
                LoadResString("IDS_MAINT_KEPT_ASIDE") + u"\na.txt \u2192 " + keptAs,
            session->maintenanceSummary());
  EXPECT_NE(std::string::npos, session->resultJson(0, false).find("\"outcome\":\"repaired\""));
  // Still this kit's installation: it can be repaired again.
  EXPECT_TRUE(session->installedKit().present);
}

TEST_F(SessionMaintenanceTest, RemoveTakesTheInstalledFilesAndKeepsAChangedOne) {
  auto session = installed();
  writeFile(scene / "sub/c.txt", "the user's gamma", kKit + 5);
  MaintenanceView view(*session, false);
  const SessionOutcome outcome = session->remove(view);
  EXPECT_EQ(SessionOutcome::End::kRemoved, outcome.end);
  EXPECT_EQ(kExitSuccess, outcome.exitStatus);
  EXPECT_EQ((std::vector<std::string>{"started", "report"}), view.events);
  EXPECT_FALSE(exists(scene / "a.txt"));
  EXPECT_FALSE(exists(scene / "sub/b.txt"));
  EXPECT_FALSE(exists(scene / ".n8ctl/record"));
  EXPECT_EQ("the user's gamma", readText(scene / "sub/c.txt"));
  EXPECT_EQ(2u, outcome.removal.removedFiles);
  EXPECT_EQ(LoadResString("IDS_MAINT_REMOVED") + u"\n\n" + LoadResString("IDS_TEMPLATE_CATALOG") + u" " +
                w(scene.templateDir()) + u"\n" + FormatResString("IDS_MAINT_REMOVED_COUNT", {u"2"}) +
                u"\n\n" + LoadResString("IDS_MAINT_KEPT_CHANGED") + u"\nsub/c.txt",
            session->maintenanceSummary());
  EXPECT_FALSE(session->installedKit().present);

  // Nothing left to remove: refused, nothing runs.
  MaintenanceView again(*session, false);
  const SessionOutcome refused = session->remove(again);
  EXPECT_EQ(SessionOutcome::End::kRefused, refused.end);
  EXPECT_EQ(kExitStartupFailed, refused.exitStatus);
  EXPECT_EQ("no-installation", refused.message.code);
  EXPECT_TRUE(again.events.empty());
}

// Cancelled or failed, either run leaves the directory exactly as it was.
TEST_F(SessionMaintenanceTest, ACancelledOrFailedRunLeavesTheDirectoryAsItWas) {
  auto session = installed();
  ASSERT_EQ(0, unlink((scene / "sub/b.txt").c_str()));
  writeFile(scene / "a.txt", "the user's alpha", kKit + 5);
  const auto before = snapshot(scene.templateDir());
  for (bool repairing : {true, false}) {
    SCOPED_TRACE(repairing ? "repair" : "remove");
    MaintenanceView cancelling(*session, true);
    SessionOutcome outcome = repairing ? session->repair(cancelling) : session->remove(cancelling);
    EXPECT_EQ(SessionOutcome::End::kCancelled, outcome.end);
    EXPECT_EQ(kExitCancelled, outcome.exitStatus);
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_TRUE(session->installedKit().present);

    MaintenanceView view(*session, false);
    {
      FileFaultInjector fault(1, ERROR_DISK_FULL);
      fault.only({repairing ? FileOp::MoveFileEx : FileOp::DeleteFile})
          .below(w(scene.templateDir() + "/"))
          .skipping(u"/.n8stp");
      outcome = repairing ? session->repair(view) : session->remove(view);
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_EQ(SessionOutcome::End::kFailed, outcome.end);
    EXPECT_EQ(kExitInstallFailed, outcome.exitStatus);
    EXPECT_EQ(repairing ? "repair-error" : "remove-error", outcome.message.code);
    EXPECT_EQ(ERROR_DISK_FULL, outcome.message.errorNumber);
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  }
}

}  // namespace
