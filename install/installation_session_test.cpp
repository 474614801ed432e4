// The whole installation through the session, without a display: a view
// that records what it is told, and answers as a user would.
#include "install/installation_session.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "config/config_paths.h"
#include "install/install_test_util.h"
#include "install/installer.h"
#include "kit/container_builder.h"
#include "install/target_lock.h"
#include "install/wizard_paths.h"
#include "platform/file_fault_injector.h"
#include "platform/stop_signals.h"
#include "resources/lang.h"
#include "resources/reasons.h"

using namespace install_test;

namespace {

std::u16string w(const std::string& text) { return widen_lib(text); }

const int64_t kOld = 1500000000;
const int64_t kKit = 1600000000;
const int64_t kNewer = 1700000000;

// What a face is told, in order, and a user who cancels as soon as the
// run shows progress (pausing the run while the question is open).
class RecordingView : public SessionView {
 public:
  explicit RecordingView(InstallationSession& session, bool cancels = false)
      : session_(session), cancels_(cancels) {}

  void showNotice(const SessionMessage& notice) override {
    events.push_back("notice");
    notices.push_back(notice);
  }
  void runStarted() override {
    events.push_back("started");
    if (cancels_) session_.pauseRun(true);
  }
  void showReport(const RunReport& report) override {
    if (events.empty() || events.back() != "report") events.push_back("report");
    last = report;
    if (cancels_ && !answered_) {
      answered_ = true;
      if (raiseStop)
        raise(SIGTERM);
      else
        session_.requestCancel();
    }
    // A cancel that never arrives must not hang the test: the run goes on
    // and ends as a success, which the test refuses.
    if (cancels_ && ++afterAnswer_ == kPatience) session_.pauseRun(false);
    if (report.phase != RunPhase::kEnded) usleep(1000);
  }

  std::vector<std::string> events;
  std::vector<SessionMessage> notices;
  RunReport last;
  bool raiseStop = false;  // the user presses Ctrl+C instead

 private:
  InstallationSession& session_;
  const bool cancels_;
  bool answered_ = false;
  static const int kPatience = 20000;
  int afterAnswer_ = 0;
};

// The current directory for one scope: the session finds the kit there.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer)) old_ = buffer;
    changed_ = chdir(path.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (!old_.empty() && chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
  }
  bool changed() const { return changed_; }

 private:
  std::string old_;
  bool changed_ = false;
};

// Free space as the test says, while the object lives.
class FreeSpace {
 public:
  explicit FreeSpace(uint64_t bytes) {
    bytes_ = bytes;
    set_free_space_probe(&FreeSpace::probe);
  }
  ~FreeSpace() { set_free_space_probe(nullptr); }
  static std::u16string asked;

 private:
  static bool probe(const std::u16string& folder, uint64_t& freeBytes) {
    asked = folder;
    freeBytes = bytes_;
    return true;
  }
  static uint64_t bytes_;
};
std::u16string FreeSpace::asked;
uint64_t FreeSpace::bytes_ = 0;

class SessionTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(here.changed());
    writeFile(scene / "replaced.txt", "the old copy", kOld);
    writeFile(scene / "kept.txt", "the user's newer copy", kNewer);
    ASSERT_TRUE(config::writeKit(scene.scratch("ovn8.okd"), kitFiles()));
    before = snapshot(scene.templateDir());
  }

  static std::vector<config::KitFileSpec> kitFiles() {
    return {{u"a.txt", "alpha", kitTime(kKit)},
            {u"replaced.txt", "the kit's copy", kitTime(kKit)},
            {u"sub\\b.txt", "beta", kitTime(kKit)},
            {u"kept.txt", "the kit's older copy", kitTime(kKit)}};
  }

  SessionSettings settings(bool withTarget = true) const {
    SessionSettings given;
    given.useCurrentDirectory = true;
    given.silent = true;
    if (withTarget) given.target = w(scene.templateDir());
    return given;
  }

  std::unique_ptr<InstallationSession> started(const SessionSettings& given) {
    auto session = std::make_unique<InstallationSession>(given);
    SessionMessage refusal;
    EXPECT_TRUE(session->start(nullptr, refusal)) << narrow_lib(refusal.text);
    return session;
  }

  // Refused at start: the reason, which is always an error.
  std::u16string refusalAtStart(const InstallationSession::KitOpener& open = nullptr) {
    InstallationSession session(settings());
    SessionMessage refusal;
    EXPECT_FALSE(session.start(open, refusal));
    EXPECT_TRUE(refusal.error);
    return refusal.text;
  }

  // Refused with the text of `reason`: no run started, the directory and
  // the launcher's file as they were.
  void expectRefusedBeforeTheRun(InstallationSession& session, const char* reason) {
    const std::string launcher = readText(launcherFile());
    RecordingView view(session);
    const SessionOutcome outcome = session.install(view);
    EXPECT_EQ(SessionOutcome::End::kRefused, outcome.end);
    EXPECT_EQ(kExitStartupFailed, outcome.exitStatus);
    EXPECT_EQ(LoadResString(reason), outcome.message.text);
    EXPECT_TRUE(view.events.empty());
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_EQ(launcher, readText(launcherFile()));
  }

  std::string launcherFile() const { return scene.homeDir() + "/.Ovan/ovanstart/ovanstart.cfg"; }

  void expectInstalled() {
    EXPECT_EQ("alpha", readText(scene / "a.txt"));
    EXPECT_EQ("the kit's copy", readText(scene / "replaced.txt"));
    EXPECT_EQ("beta", readText(scene / "sub/b.txt"));
    EXPECT_EQ("the user's newer copy", readText(scene / "kept.txt"));
    EXPECT_EQ(kKit, modificationTime(scene / "a.txt"));
  }

  InstallScene scene;
  WorkingDirectory here{scene.scratch("")};
  std::map<std::string, std::string> before;
};

// ---------------------------------------------------------------- start-up

TEST_F(SessionTest, StartRefusesAMissingDamagedOrUnreadableKitAndOneWithoutRoomToUnpack) {
  const std::string kit = scene.scratch("ovn8.okd");
  const std::u16string nospace = LoadResString("IDS_ERROR_NOSPACE");
  {
    // A kit laid out in table order is streamed: a full temporary
    // directory does not stop it, as nothing is unpacked there.
    FileFaultInjector full(1, ERROR_DISK_FULL);
    full.below(w(scene.tempDir())).persistent();
    InstallationSession session(settings());
    SessionMessage refusal;
    EXPECT_TRUE(session.start(nullptr, refusal)) << narrow_lib(refusal.text);
    EXPECT_FALSE(full.fired());
  }
  EXPECT_TRUE(testkit::leftInTemp(scene.tempDir()).empty());
  // A kit unpacked whole into a full temporary directory is refused; the
  // opener's answer is the kit's: a face that opens it elsewhere.
  int opened = 0;
  EXPECT_EQ(0u, refusalAtStart([&](const std::function<uint32_t()>&) {
                  ++opened;
                  return uint32_t(ERROR_DISK_FULL);
                }).find(nospace + u"\n" + w(scene.tempDir())));
  EXPECT_EQ(1, opened);
  {
    FileFaultInjector unreadable(1, ERROR_ACCESS_DENIED);
    unreadable.only({FileOp::CreateFile}).below(w(kit));
    EXPECT_EQ(LoadResString("IDS_ERROR_DAMAGEDSOURCE") + u"\n" + w(kit) + u"\n" +
                  failure_reason(ERROR_ACCESS_DENIED),
              refusalAtStart());
  }
  ASSERT_TRUE(fs_test::writeText(kit, "not a kit at all, only some bytes"));
  const std::u16string damaged = refusalAtStart();
  EXPECT_EQ(0u, damaged.find(LoadResString("IDS_ERROR_DAMAGEDSOURCE") + u"\n")) << narrow_lib(damaged);
  EXPECT_GT(damaged.size(), LoadResString("IDS_ERROR_DAMAGEDSOURCE").size() + 2);
  // A link to nothing is no kit, and the missing kit is told before anything else.
  ASSERT_EQ(0, unlink(kit.c_str()));
  ASSERT_EQ(0, symlink("gone.okd", kit.c_str()));
  // It says where it looked.
  const std::u16string notFound = LoadResString("IDS_ERROR_NOSOURCE") + u"\n" +
                                    LoadResString("IDS_KIT_LOOKED_AT") + u"\n" + w(kit);
  EXPECT_EQ(notFound, refusalAtStart());
  ASSERT_EQ(0, unlink(kit.c_str()));
  EXPECT_EQ(notFound, refusalAtStart());
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

// Without useCurrentDirectory the kit is looked for beside the program,
// not in the current directory.
TEST_F(SessionTest, TheKitIsLookedForBesideTheProgramUnlessTheCurrentDirectoryIsAsked) {
  char program[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", program, sizeof program - 1), 0);
  std::string beside = program;
  beside = beside.substr(0, beside.rfind('/')) + "/ovn8.okd";
  ASSERT_FALSE(exists(beside));
  SessionSettings given = settings();
  given.useCurrentDirectory = false;
  InstallationSession session(given);
  SessionMessage refusal;
  EXPECT_FALSE(session.start(nullptr, refusal));
  EXPECT_EQ(w(beside), session.kitPath());
  EXPECT_EQ(LoadResString("IDS_ERROR_NOSOURCE") + u"\n" + LoadResString("IDS_KIT_LOOKED_AT") + u"\n" +
                w(beside),
            refusal.text);
  EXPECT_EQ("kit-not-found", refusal.code);
  EXPECT_EQ(w(scene.scratch("ovn8.okd")), started(settings())->kitPath());
}

// ---------------------------------------------------------------- the directory

// The first directory of the launcher's list that can be written, cleaned;
// the wizard's own without one; the command line's before either.
TEST_F(SessionTest, TheProposedDirectoryComesFromTheLauncherListUnlessOneIsGiven) {
  EXPECT_EQ(n8_app_data_dir(false) + u"tmplts/", started(settings(false))->targetDirectory());
  const std::string blocked = scene.scratch("blocked");
  ASSERT_TRUE(makeDirs(blocked));
  writeFile(launcherFile(),
            "ConfigurationTemplatesLocation=" + blocked + "\n" +
                "ConfigurationTemplatesLocation=file://" + scene.templateDir() + "\n" +
                "ConfigurationTemplatesLocation=/srv/later\n",
            kOld);
  {
    FileFaultInjector notWritable(1, ERROR_ACCESS_DENIED);
    notWritable.only({FileOp::CreateUnnamedFile}).below(w(blocked));
    EXPECT_EQ(w(scene.templateDir()), started(settings(false))->targetDirectory());
    EXPECT_TRUE(notWritable.fired());
  }
  EXPECT_EQ(w(blocked), started(settings(false))->targetDirectory());
  EXPECT_EQ(w(scene.templateDir()), started(settings())->targetDirectory());
}

// A web address is no directory: nothing is proposed, and a run without a
// directory is refused before anything happens.
TEST_F(SessionTest, AWebAddressFirstInTheListProposesNothing) {
  writeFile(launcherFile(),
            "ConfigurationTemplatesLocation=http://example.org/templates\n"
            "ConfigurationTemplatesLocation=" + scene.templateDir() + "\n",
            kOld);
  auto session = started(settings(false));
  EXPECT_EQ(u"", session->targetDirectory());
  expectRefusedBeforeTheRun(*session, "IDS_SETUP_EMPTYTARGET");
}

TEST_F(SessionTest, AChosenDirectoryIsMadeAbsoluteAndRefusedWhenItCannotBeTheTarget) {
  auto session = started(settings());
  const std::u16string home = w(scene.homeDir());
  std::u16string chosen;
  SessionMessage refusal;
  EXPECT_TRUE(session->chooseDirectory(u"~", chosen, refusal));
  EXPECT_EQ(home, chosen);
  EXPECT_TRUE(session->chooseDirectory(u"~\\forms\\new", chosen, refusal));
  EXPECT_EQ(home + u"/forms/new", chosen);
  EXPECT_EQ(chosen, session->targetDirectory());
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  EXPECT_TRUE(session->chooseDirectory(u"relative/dir", chosen, refusal));
  EXPECT_EQ(w(cwd) + u"/relative/dir", chosen);

  // A refusal names the path and leaves the target as it was.
  writeFile(scene.scratch("a-file"), "x", kOld);
  for (const std::string& typed : {scene.scratch("a-file"), scene.scratch("a-file/below")}) {
    EXPECT_FALSE(session->chooseDirectory(w(typed), chosen, refusal)) << typed;
    EXPECT_EQ(LoadResString("IDS_SETUP_TARGETNOTFOLDER") + u"\n" + w(typed), refusal.text);
    EXPECT_TRUE(refusal.error);
  }
  for (const std::string& typed : {scene.templateDir(), scene.templateDir() + "/missing/level"}) {
    FileFaultInjector denied(1, ERROR_ACCESS_DENIED);
    denied.only({FileOp::CheckAccess}).below(w(scene.templateDir()));
    EXPECT_FALSE(session->chooseDirectory(w(typed), chosen, refusal)) << typed;
    EXPECT_EQ(LoadResString("IDS_SETUP_TARGETNOTWRITABLE") + u"\n" + w(typed), refusal.text);
  }
  // The wizard's own folders of a directory are never a template directory,
  // nor any folder in them.
  for (const std::string& typed : {scene.templateDir() + "/.n8ctl", scene.templateDir() + "/.n8stp0/forms",
                                   scene.templateDir() + "/.n8ctl/"}) {
    EXPECT_FALSE(session->chooseDirectory(w(typed), chosen, refusal)) << typed;
    EXPECT_EQ(LoadResString("IDS_SETUP_TARGETNOTWRITABLE") + u"\n" + w(typed) + u"\n" +
                  LoadResString("IDS_REASON_OWNNAME"),
              refusal.text);
  }
  EXPECT_TRUE(session->chooseDirectory(w(scene.templateDir() + "/.n8ctl-like/n8ctl"), chosen, refusal));
  EXPECT_TRUE(session->chooseDirectory(w(scene.templateDir() + "/.n8stp"), chosen, refusal));
  EXPECT_TRUE(session->chooseDirectory(u"relative/dir", chosen, refusal));
  EXPECT_EQ(w(cwd) + u"/relative/dir", session->targetDirectory());
}

// Room is needed for what the run would write: files already up to date
// are not written again.
TEST_F(SessionTest, ADirectoryWithoutRoomForTheFilesToWriteIsRefused) {
  auto session = started(settings());
  uint64_t kitBytes = 0;
  for (const config::KitFileSpec& file : kitFiles()) kitBytes += file.data.size();
  EXPECT_EQ(kitBytes, session->kitFilesBytes());
  std::u16string chosen;
  SessionMessage refusal;
  const std::string fresh = scene.scratch("fresh");
  {
    FreeSpace space(kitBytes - 1);
    EXPECT_FALSE(session->chooseDirectory(w(fresh), chosen, refusal));
    EXPECT_EQ(0u, refusal.text.find(LoadResString("IDS_SETUP_NOSPACE") + u"\n" + w(fresh) + u"\n"));
    EXPECT_EQ(w(scene.templateDir()), session->targetDirectory());
    // The folder asked is the nearest that exists.
    uint64_t freeBytes = 0;
    EXPECT_TRUE(session->freeSpaceFor(u"~/not/yet", freeBytes));
    EXPECT_EQ(kitBytes - 1, freeBytes);
    EXPECT_EQ(w(scene.homeDir()), FreeSpace::asked);
  }
  {
    FreeSpace space(kitBytes);
    EXPECT_TRUE(session->chooseDirectory(w(fresh), chosen, refusal));
  }
  // Once installed nothing is left to write: no room is needed at all.
  ASSERT_TRUE(session->chooseDirectory(w(scene.templateDir()), chosen, refusal));
  RecordingView view(*session);
  ASSERT_EQ(kExitSuccess, session->install(view).exitStatus);
  FreeSpace none(0);
  EXPECT_TRUE(session->chooseDirectory(w(scene.templateDir()), chosen, refusal))
      << narrow_lib(refusal.text);
}

// ---------------------------------------------------------------- the run

TEST_F(SessionTest, ASuccessInstallsRecordsTheDirectoryFirstAndCounts) {
  writeFile(launcherFile(), "ConfigurationTemplatesLocation=/srv/earlier\n", kOld);
  auto session = started(settings());
  // Outside a run nothing is cancelled.
  session->requestCancel();
  EXPECT_FALSE(session->cancelRequested());
  RecordingView view(*session);
  const SessionOutcome outcome = session->install(view);
  EXPECT_EQ(SessionOutcome::End::kInstalled, outcome.end);
  EXPECT_EQ(kExitSuccess, outcome.exitStatus);
  EXPECT_TRUE(outcome.warning.empty());
  EXPECT_EQ((std::vector<std::string>{"started", "report"}), view.events);
  EXPECT_EQ(RunPhase::kEnded, view.last.phase);
  expectInstalled();
  EXPECT_EQ("ConfigurationTemplatesLocation=" + scene.templateDir() +
                "\nConfigurationTemplatesLocation=/srv/earlier\n",
            readText(launcherFile()));
  EXPECT_EQ(3u, outcome.report.installed);
  EXPECT_EQ(1u, outcome.report.replaced);
  EXPECT_EQ(1u, outcome.report.kept);
  EXPECT_EQ(LoadResString("IDS_TEMPLATE_CATALOG") + u" " + w(scene.templateDir()) + u"\n" +
                FormatResString("IDS_SUMMARY_INSTALLED", {u"3"}) + u"\n" +
                FormatResString("IDS_SUMMARY_REPLACED", {u"1"}) + u"\n" +
                FormatResString("IDS_SUMMARY_KEPT", {u"1"}),
            session->successSummary(u"\n"));
  EXPECT_TRUE(entryNames(scene.homeDir() + "/.ovn8setup").empty());

  // Again: nothing to write; on lines the zero counts go but the installed one.
  RecordingView again(*session);
  EXPECT_EQ(kExitSuccess, session->install(again).exitStatus);
  EXPECT_EQ(LoadResString("IDS_TEMPLATE_CATALOG") + u" " + w(scene.templateDir()) + u"\n" +
                FormatResString("IDS_SUMMARY_INSTALLED", {u"0"}) + u"\n" +
                FormatResString("IDS_SUMMARY_KEPT", {u"1"}),
            session->successSummary(u"\n"));
  EXPECT_EQ(LoadResString("IDS_TEMPLATE_CATALOG") + u" " + w(scene.templateDir()) + u"; " +
                FormatResString("IDS_SUMMARY_INSTALLED", {u"0"}) + u"; " +
                FormatResString("IDS_SUMMARY_REPLACED", {u"0"}) + u"; " +
                FormatResString("IDS_SUMMARY_KEPT", {u"1"}),
            session->successSummary(u"; "));
}

// A file that cannot be written mid-run: everything goes back as it was,
// the launcher learns nothing, and the detail names the file and why.
TEST_F(SessionTest, AFailureRollsBackExactlyAndNamesTheFile) {
  auto session = started(settings());
  RecordingView view(*session);
  SessionOutcome outcome;
  {
    // b.txt goes into a folder the run makes, first under another name.
    std::atomic<bool> fired(false);
    FileFaultInjector full;
    full.only({FileOp::WriteFile}).answering([&fired](FileOp, const std::u16string& path) -> uint32_t {
      if (path.size() < 6 || path.compare(path.size() - 6, 6, u"/b.txt") != 0) return 0;
      fired = true;
      return ERROR_DISK_FULL;
    });
    outcome = session->install(view);
    EXPECT_TRUE(fired);
  }
  EXPECT_EQ(SessionOutcome::End::kFailed, outcome.end);
  EXPECT_EQ(kExitInstallFailed, outcome.exitStatus);
  EXPECT_EQ(ERROR_DISK_FULL, outcome.report.result);
  EXPECT_EQ(u"sub/b.txt\n" + failure_reason(ERROR_DISK_FULL), session->failureDetail());
  EXPECT_EQ(LoadResString("IDS_INSTALL_ERROR") + u"\n" + session->failureDetail(), outcome.message.text);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_FALSE(exists(launcherFile()));
  EXPECT_TRUE(entryNames(scene.homeDir() + "/.ovn8setup").empty());
}

// A streamed kit whose data is damaged (its last entry's bytes changed, or
// its stream cut short) opens, and its damage shows only as the bytes pass:
// the run ends as a damaged kit does, with status 1 and the directory
// exactly as before, although the entries before were written.
TEST_F(SessionTest, AKitDamagedInItsDataEndsAsDamagedWithNothingChanged) {
  config::KitSpec spec;
  spec.descriptions.push_back({u"en", u"Product", u"Vendor", u"readme.html"});
  spec.files = kitFiles();
  std::string container;
  ASSERT_TRUE(config::buildContainer(spec, config::KitLayout(), container));
  std::string flipped = container;
  flipped.back() ^= 0x21;
  const std::string stored = config::deflateRaw(container, 0);
  const std::string kits[] = {config::deflateRaw(flipped), stored.substr(0, stored.size() - 4)};
  for (const std::string& kit : kits) {
    ASSERT_TRUE(config::writeFileBytes(scene.scratch("ovn8.okd"), kit));
    auto session = started(settings());
    ASSERT_TRUE(session->kit().streamed());
    struct Temporaries {
      static uint32_t count(FileOp op, const std::u16string& path, void* context) {
        if (op == FileOp::CreateFile && path.find(u"/.n8new") != std::u16string::npos)
          ++*static_cast<int*>(context);
        return 0;
      }
    };
    int written = 0;
    FileSystem::SetFaultHook(&Temporaries::count, &written);
    RecordingView view(*session);
    const SessionOutcome outcome = session->install(view);
    FileSystem::SetFaultHook(nullptr, nullptr);
    EXPECT_GE(written, 2);
    EXPECT_EQ(SessionOutcome::End::kRefused, outcome.end);
    EXPECT_EQ(kExitStartupFailed, outcome.exitStatus);
    EXPECT_EQ("kit-damaged", outcome.message.code);
    EXPECT_EQ(0u, outcome.message.text.find(LoadResString("IDS_ERROR_DAMAGEDSOURCE") + u"\n"))
        << narrow_lib(outcome.message.text);
    EXPECT_NE(std::u16string::npos, outcome.message.text.find(u"kept.txt")) << narrow_lib(outcome.message.text);
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_FALSE(exists(launcherFile()));
    EXPECT_TRUE(entryNames(scene.homeDir() + "/.ovn8setup").empty());
  }
}

TEST_F(SessionTest, ACancelOrAStopSignalRollsBackAndEndsWithStatusThree) {
  struct sigaction old;
  sigaction(SIGTERM, nullptr, &old);
  install_stop_signal_handlers();
  for (bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "stop signal" : "cancel");
    auto session = started(settings());
    RecordingView view(*session, true);
    view.raiseStop = bySignal;
    const SessionOutcome outcome = session->install(view);
    clear_stop_request();
    EXPECT_EQ(SessionOutcome::End::kCancelled, outcome.end);
    EXPECT_EQ(kExitCancelled, outcome.exitStatus);
    EXPECT_TRUE(session->cancelRequested());
    EXPECT_FALSE(session->running());
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_FALSE(exists(launcherFile()));
  }
  sigaction(SIGTERM, &old, nullptr);
}

// Installed all the same: a warning and a status of its own.
TEST_F(SessionTest, ALauncherFileThatCannotBeWrittenLeavesTheFilesAndWarns) {
  writeFile(launcherFile(), "ConfigurationTemplatesLocation=/srv/earlier\n", kOld);
  auto session = started(settings());
  RecordingView view(*session);
  SessionOutcome outcome;
  {
    FileFaultInjector full(1, ERROR_DISK_FULL);
    full.only({FileOp::WriteFile}).below(w(scene.homeDir() + "/.Ovan")).persistent();
    outcome = session->install(view);
    EXPECT_TRUE(full.fired());
  }
  EXPECT_EQ(SessionOutcome::End::kInstalled, outcome.end);
  EXPECT_EQ(kExitLauncherNotUpdated, outcome.exitStatus);
  EXPECT_EQ(0u, outcome.warning.find(LoadResString("IDS_WARN_LAUNCHERFILE") + u"\n\n" +
                                     w(launcherFile()) + u"\n"));
  expectInstalled();
  EXPECT_EQ("ConfigurationTemplatesLocation=/srv/earlier\n", readText(launcherFile()));
}

// Another installation holds the directory, or one around it: nothing is
// changed and no run starts.
TEST_F(SessionTest, ABusyDirectoryIsRefusedBeforeAnythingChanges) {
  auto session = started(settings());
  for (const std::string& held : {scene.templateDir(), scene.scratch("")}) {
    SCOPED_TRACE(held);
    TargetLock other;
    ASSERT_EQ(0u, other.acquire(w(held)));
    expectRefusedBeforeTheRun(*session, "IDS_ERROR_TARGETBUSY");
  }
  RecordingView view(*session);
  EXPECT_EQ(kExitSuccess, session->install(view).exitStatus);
}

// Another wizard takes the directory between the check and the run: the
// run is refused as busy and nothing changes. The run's own first lock is
// the one that fails: it comes after those of the session's checks.
TEST_F(SessionTest, ADirectoryTakenBetweenTheCheckAndTheRunIsRefusedAsBusy) {
  auto session = started(settings());
  auto locksOf = [this](const std::function<void()>& work) {
    FileFaultInjector counter;
    counter.only({FileOp::LockFileEx}).below(w(scene.templateDir()));
    work();
    return counter.count();
  };
  RecordingView first(*session);
  ASSERT_EQ(kExitSuccess, session->install(first).exitStatus);
  const uint64_t all = locksOf([&] {
    RecordingView view(*session);
    EXPECT_EQ(kExitSuccess, session->install(view).exitStatus);
  });
  const auto runAlone = [&] {
    KitReader kit;
    ASSERT_EQ(0u, kit.open(w(scene.scratch("ovn8.okd"))));
    InstallProcessData data;
    data.init(&kit, w(scene.templateDir()));
    EXPECT_EQ(0u, Installer().run(&data));
  };
  // A run without the kit's identity rewrites the record once; the one
  // measured, like the session's measured run, finds it as it would write it.
  runAlone();
  const uint64_t ofTheRun = locksOf(runAlone);
  ASSERT_GT(all, ofTheRun);
  ASSERT_GT(ofTheRun, 0u);
  before = snapshot(scene.templateDir());
  RecordingView view(*session);
  FileFaultInjector taken(all - ofTheRun + 1, ERROR_LOCK_VIOLATION);
  taken.only({FileOp::LockFileEx}).below(w(scene.templateDir()));
  const SessionOutcome outcome = session->install(view);
  EXPECT_TRUE(taken.fired());
  EXPECT_EQ((std::vector<std::string>{"started", "report"}), view.events);
  EXPECT_EQ(SessionOutcome::End::kRefused, outcome.end);
  EXPECT_EQ(kExitStartupFailed, outcome.exitStatus);
  EXPECT_EQ(LoadResString("IDS_ERROR_TARGETBUSY"), outcome.message.text);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

// ---------------------------------------------------------------- stopped runs

const int kDiedExit = 77;

// Ends the process, as a kill would, when the run puts its next file in
// place after a.txt (the kit's first entry, whose temporary name ends with
// its number): a.txt stands, something else does not yet. The lanes place
// files of different folders in no set order.
uint32_t die_after_placing_a(FileOp op, const std::u16string& path, void* context) {
  auto* placedA = static_cast<std::atomic<bool>*>(context);
  if (op != FileOp::MoveFileEx) return 0;
  if (*placedA) _exit(kDiedExit);
  const std::u16string firstEntry = u"-0";
  if (path.size() > firstEntry.size() && path.compare(path.size() - firstEntry.size(), firstEntry.size(), firstEntry) == 0) *placedA = true;
  return 0;
}

// A child process that runs the session's installation and is killed in
// the middle of it.
void killedMidRun(InstallationSession& session) {
  // No thread of the session's may be in the middle of anything (holding
  // the allocator's lock) when the process forks.
  session.kitSha256();
  const pid_t child = fork();
  if (child == 0) {
    std::atomic<bool> placedA{false};
    FileSystem::SetFaultHook(&die_after_placing_a, &placedA);
    RecordingView view(session);
    session.install(view);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kDiedExit) << status;
}

TEST_F(SessionTest, AStoppedRunInTheDirectoryIsPutBackAndToldBeforeTheRun) {
  auto session = started(settings());
  killedMidRun(*session);
  ASSERT_EQ("alpha", readText(scene / "a.txt"));
  RecordingView view(*session);
  const SessionOutcome outcome = session->install(view);
  ASSERT_EQ(1u, view.notices.size());
  EXPECT_FALSE(view.notices[0].error);
  EXPECT_FALSE(view.notices[0].text.empty());
  EXPECT_EQ((std::vector<std::string>{"notice", "started", "report"}), view.events);
  EXPECT_EQ(kExitSuccess, outcome.exitStatus);
  expectInstalled();
  EXPECT_EQ(3u, outcome.report.installed);
  EXPECT_TRUE(entryNames(scene.homeDir() + "/.ovn8setup").empty());
}

// A file the user changed since the stop is kept, and the notice is an
// error wherever the stopped run is found.
TEST_F(SessionTest, AFileChangedSinceTheStopIsKeptAndToldAsAnError) {
  auto session = started(settings());
  killedMidRun(*session);
  writeFile(scene / "a.txt", "the user's own since", kNewer);
  RecordingView view(*session);
  const SessionOutcome outcome = session->install(view);
  ASSERT_EQ(1u, view.notices.size());
  EXPECT_TRUE(view.notices[0].error);
  EXPECT_NE(std::u16string::npos, view.notices[0].text.find(u"a.txt")) << narrow_lib(view.notices[0].text);
  EXPECT_EQ(kExitSuccess, outcome.exitStatus);
  EXPECT_EQ("the user's own since", readText(scene / "a.txt"));
  EXPECT_EQ("the kit's copy", readText(scene / "replaced.txt"));
}

TEST_F(SessionTest, AtProgramStartAStoppedRunIsPutBackAndToldOnce) {
  auto session = started(settings());
  killedMidRun(*session);
  const std::vector<SessionMessage> told =
      InstallationSession::recoverStoppedInstallations(w(scene.templateDir()));
  ASSERT_EQ(1u, told.size());
  EXPECT_FALSE(told[0].error);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(InstallationSession::recoverStoppedInstallations(u"").empty());
  EXPECT_TRUE(InstallationSession::recoverStoppedInstallations(w(scene.templateDir())).empty());
}

// ---------------------------------------------------------------- the kit's texts

TEST_F(SessionTest, TheKitsNamesAndDocumentComeInTheBestLanguage) {
  config::KitSpec described;
  described.descriptions = {{u"de", u"Formulare", u"Anbieter", u"docs\\liesmich.html"},
                       {u"en", u"Forms", u"Vendor", u""},
                       {u"fr", u"Formulaires", u"Fournisseur", u"..\\outside.html"}};
  described.files = {{u"docs\\liesmich.html", "<p>", kitTime(kKit)}};
  ASSERT_TRUE(config::writeKit(scene.scratch("ovn8.okd"), described));
  writeFile(scene.scratch("outside.html"), "not the kit's", kOld);
  SessionSettings given = settings();
  given.languageCode = u"de";
  auto german = started(given);
  EXPECT_EQ(LoadResString("IDS_WELCOME_TITLE") + u" Formulare (Anbieter).", german->welcomeText());
  // Only once installed does the document lie in the directory.
  EXPECT_TRUE(german->descriptionDocumentPath().empty());
  RecordingView view(*german);
  ASSERT_EQ(kExitSuccess, german->install(view).exitStatus);
  EXPECT_EQ(w(scene.templateDir() + "/docs/liesmich.html"), german->descriptionDocumentPath());
  given.languageCode = u"it";
  EXPECT_EQ(LoadResString("IDS_WELCOME_TITLE") + u" Forms (Vendor).", started(given)->welcomeText());
  // English has no document: the first description that has one; one
  // outside the directory is never offered.
  EXPECT_EQ(w(scene.templateDir() + "/docs/liesmich.html"), started(given)->descriptionDocumentPath());
  given.languageCode = u"fr";
  EXPECT_TRUE(started(given)->descriptionDocumentPath().empty());
}

// gpgv's part is played by a script that says what each case needs: the
// session's decisions, texts and result, with or without gpg installed.
TEST_F(SessionTest, TheSignatureDecidesBeforeTheKitIsUnpacked) {
  const std::string verifier = scene.scratch("fake-gpgv");
  const std::string arguments = scene.scratch("gpgv-arguments");
  const std::string input = scene.scratch("gpgv-input");
  const auto gpgvSays = [&](const std::string& status, int exitCode) {
    writeFile(verifier, "#!/bin/sh\necho \"$@\" > '" + arguments + "'\ncat > '" + input + "'\nprintf '" + status +
                            "' >&3\nexit " + std::to_string(exitCode) + "\n",
              kOld);
    ASSERT_EQ(0, chmod(verifier.c_str(), 0755));
  };
  SessionSettings given = settings();
  given.signature.systemFolder = w(scene.scratch("etc"));
  given.signature.verifier = verifier;

  auto session = started(given);
  EXPECT_EQ(config::SignatureState::kUnsigned, session->signature().state);
  EXPECT_EQ(LoadResString("IDS_KIT_UNSIGNED"), session->signatureText());
  EXPECT_NE(std::string::npos, session->resultJson(0, false).find("\"signature\":{\"state\":\"unsigned\""));

  writeFile(scene.scratch("ovn8.okd.sig"), "signature", kOld);
  gpgvSays("[GNUPG:] GOODSIG 0440ECD9448F803C Vendor%%20Name <v@example.com>\\n[GNUPG:] VALIDSIG BB15\\n", 0);
  session = started(given);
  EXPECT_EQ(FormatResString("IDS_KIT_SIGNEDBY", {u"Vendor Name <v@example.com>"}), session->signatureText());
  // Nothing of the user's own keyrings is trusted when none is given; the
  // kit comes on gpgv's standard input, from the file the session unpacks.
  EXPECT_EQ("--status-fd=3 --keyring=/dev/null -- " + scene.scratch("ovn8.okd.sig") + " -\n", readText(arguments));
  EXPECT_EQ(readText(scene.scratch("ovn8.okd")), readText(input));

  const struct {
    const char* status;
    int exitCode;
    bool required;
    const char* code;
    const char* reason;
  } refused[] = {
      {"[GNUPG:] BADSIG 0440ECD9448F803C V\\n", 1, false, "kit-signature-bad", "IDS_KIT_SIGNATURE_BAD"},
      {"[GNUPG:] NODATA 1\\n", 2, false, "kit-signature-invalid", "IDS_KIT_SIGNATURE_INVALID"},
      {"[GNUPG:] ERRSIG 0440ECD9448F803C 22 8 00 1 9 BB15\\n", 2, true, "kit-signature-required",
       "IDS_KIT_SIGNATURE_REQUIRED"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.code);
    gpgvSays(c.status, c.exitCode);
    given.signature.requireSignature = c.required;
    InstallationSession refusedSession(given);
    SessionMessage refusal;
    EXPECT_FALSE(refusedSession.start(nullptr, refusal));
    EXPECT_EQ(c.code, refusal.code);
    EXPECT_EQ(0u, refusal.text.find(LoadResString("IDS_ERROR_DAMAGEDSOURCE") + u"\n" + LoadResString(c.reason)));
    EXPECT_FALSE(refusedSession.kit().isOpen());
    EXPECT_NE(std::string::npos, refusedSession.resultJson(1, false).find("\"code\":\"" + std::string(c.code)));
  }
  // Without the rule, a key the machine does not trust installs, named.
  given.signature.requireSignature = false;
  session = started(given);
  EXPECT_EQ(FormatResString("IDS_KIT_SIGNER_UNKNOWN", {u"0440ECD9448F803C"}), session->signatureText());
  RecordingView view(*session);
  EXPECT_EQ(kExitSuccess, session->install(view).exitStatus);
}

}  // namespace
