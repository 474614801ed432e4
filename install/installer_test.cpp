#include "install/installer.h"
#include "install/recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "install/install_test_util.h"
#include "install/install_thread.h"
#include "platform/file_fault_injector.h"
#include "platform/regular_file.h"
#include "platform/run_log.h"
#include "resources/lang.h"

using namespace install_test;

namespace {

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

const int64_t kKitTime = 1600000000;  // time of every entry unless stated
const int64_t kOlder = kKitTime - 86400;
const int64_t kNewer = kKitTime + 86400;

struct FinalState {
  uint32_t code;
  std::u16string message;
  int progress;
};

FinalState stateOf(InstallProcessData& data) {
  FinalState state;
  data.getInstallState(state.code, state.message, state.progress);
  return state;
}

// Notes the reported progress whenever the run opens a file below the
// template directory for writing its entry.
class ProgressRecorder {
 public:
  ProgressRecorder(InstallProcessData& data, const std::u16string& templateDir) {
    watch_.only({FileOp::CreateFile})
        .below(templateDir)
        .skipping(u"/.n8stp")
        .skipping(u"/.n8ctl/")
        .answering([this, &data](FileOp, const std::u16string&) {
          progress.push_back(stateOf(data).progress);
          return 0u;
        });
  }
  std::vector<int> progress;

 private:
  FileFaultInjector watch_;
};

class InstallerTest : public testing::Test {
 protected:
  InstallScene scene;
  KitReader kit;
  InstallProcessData data;

  void openKit(const std::vector<config::KitFileSpec>& files) {
    ASSERT_TRUE(install_test::openKit(scene.scratch(""), files, kit));
    data.init(&kit, widen_lib(scene.templateDir()));
  }
  uint32_t install() {
    data.init(&kit, widen_lib(scene.templateDir()));
    Installer installer;
    installer.setFileLanes(lanes);
    return installer.run(&data);
  }
  // A test that follows the run's operations in their order sets 0: the
  // run's own thread then does all of them.
  size_t lanes = FileLanes::lanesForThisMachine();
  std::u16string target(const std::string& name) const { return widen_lib(scene / name); }
};

TEST_F(InstallerTest, EmptyKitFinishesAtOnce) {
  writeFile(scene / "mine.txt", "mine", kOlder);
  const auto before = snapshot(scene.templateDir());
  openKit({});
  EXPECT_EQ(0u, install());
  const FinalState state = stateOf(data);
  EXPECT_EQ(0u, state.code);
  EXPECT_EQ(LoadResString("IDS_INSTALL_FINISH"), state.message);
  EXPECT_EQ(100, state.progress);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
}

TEST_F(InstallerTest, ThreeEntriesReportTheirShareThenOneHundred) {
  openKit({{u"a.txt", "a", kitTime(kKitTime)},
           {u"b.txt", "b", kitTime(kKitTime)},
           {u"c.txt", "c", kitTime(kKitTime)}});
  std::vector<int> reported;
  lanes = 0;
  {
    ProgressRecorder recorder(data, widen_lib(scene.templateDir() + "/"));
    EXPECT_EQ(0u, install());
    reported = recorder.progress;
  }
  EXPECT_EQ((std::vector<int>{0, 33, 66}), reported);
  EXPECT_EQ(100, stateOf(data).progress);
  EXPECT_EQ("c", readText(scene / "c.txt"));
}

// A file an administrator made readable for everyone (or kept private)
// keeps its permission bits when the kit replaces it; a new file gets the
// usual ones. A failure to set them fails the entry and rolls back.
TEST_F(InstallerTest, AReplacedFileKeepsItsPermissionBits) {
  writeFile(scene / "shared.txt", "old shared", kOlder, 0644);
  writeFile(scene / "private.txt", "old private", kOlder, 0600);
  openKit({{u"shared.txt", "new shared", kitTime(kKitTime)},
           {u"private.txt", "new private", kitTime(kKitTime)},
           {u"fresh.txt", "fresh", kitTime(kKitTime)}});
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::SetPathMode});
    const auto before = snapshot(scene.templateDir());
    EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), install());
    EXPECT_TRUE(fault.fired());
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  }
  EXPECT_EQ(0u, install());
  struct stat status = {};
  ASSERT_EQ(0, stat((scene / "shared.txt").c_str(), &status));
  EXPECT_EQ(0644u, status.st_mode & 0777);
  ASSERT_EQ(0, stat((scene / "private.txt").c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);
  EXPECT_EQ("new shared", readText(scene / "shared.txt"));
  ASSERT_EQ(0, stat((scene / "fresh.txt").c_str(), &status));
  EXPECT_EQ(0660u & ~current_umask(), status.st_mode & 0777);
}

TEST_F(InstallerTest, InstallsIntoSubfoldersAndWritesNothingTheSecondTime) {
  writeFile(scene / "docs/old.txt", "old docs", kOlder, 0600);
  openKit({{u"docs\\old.txt", "new docs", kitTime(kKitTime)},
           {u"forms\\orders\\form.xml", "<form/>", kitTime(kKitTime)},
           {u"top.txt", "", kitTime(kKitTime)}});
  EXPECT_EQ(0u, install());
  EXPECT_EQ("new docs", readText(scene / "docs/old.txt"));
  EXPECT_EQ("<form/>", readText(scene / "forms/orders/form.xml"));
  EXPECT_EQ(kKitTime, modificationTime(scene / "forms/orders/form.xml"));
  EXPECT_TRUE(exists(scene / "top.txt"));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());

  const auto installed = snapshot(scene.templateDir());
  {
    // Looking is allowed; nothing that could change a file or a listing.
    // The record is opened to be read; the comparison below shows it the same.
    FileFaultInjector watch;
    watch.below(widen_lib(scene.templateDir() + "/")).skipping(u"/.n8stp").skipping(u"/.n8ctl/")
        .only({FileOp::CreateFile, FileOp::WriteFile, FileOp::SetEndOfFile, FileOp::SetFileTime,
               FileOp::CreateDirectory, FileOp::CreateOneDirectory, FileOp::RemoveDirectory,
               FileOp::RemoveEmptyDirectory, FileOp::MoveFile, FileOp::MoveFileEx,
               FileOp::DeleteFile, FileOp::SetPathTimes, FileOp::SetFileMode,
               FileOp::SetFileOwner, FileOp::CreateHardLink, FileOp::SetPathMode});
    EXPECT_EQ(0u, install());
    EXPECT_EQ(0u, watch.count());  // no operation changed the template directory
  }
  EXPECT_EQ("", differences(installed, snapshot(scene.templateDir())));
  EXPECT_EQ(100, stateOf(data).progress);
}

TEST_F(InstallerTest, NewerAndEqualFilesAreLeftAlone) {
  writeFile(scene / "newer.txt", "user's newer", kNewer);
  writeFile(scene / "equal.txt", "user's equal", kKitTime);
  writeFile(scene / "older.txt", "user's older", kOlder);
  openKit({{u"newer.txt", "kit", kitTime(kKitTime)},
           {u"equal.txt", "kit", kitTime(kKitTime)},
           {u"older.txt", "kit", kitTime(kKitTime)}});
  EXPECT_EQ(0u, install());
  EXPECT_EQ("user's newer", readText(scene / "newer.txt"));
  EXPECT_EQ(kNewer, modificationTime(scene / "newer.txt"));
  EXPECT_EQ("user's equal", readText(scene / "equal.txt"));
  EXPECT_EQ("kit", readText(scene / "older.txt"));

  Installer installer;
  EXPECT_FALSE(installer.compareFiles(target("newer.txt"), kitTime(kKitTime)));
  EXPECT_FALSE(installer.compareFiles(target("equal.txt"), kitTime(kKitTime)));
  EXPECT_TRUE(installer.compareFiles(target("equal.txt"), kitTime(kKitTime + 1)));
  EXPECT_TRUE(installer.compareFiles(target("missing.txt"), kitTime(0)));
  // A fraction of a second after the file's time is later.
  EXPECT_TRUE(installer.compareFiles(target("equal.txt"), config::fileTimeFromUnix(kKitTime, 500)));
}

TEST_F(InstallerTest, FailureAtTheFourthOfTenRestoresEverything) {
  std::vector<config::KitFileSpec> files;
  for (int i = 0; i < 3; ++i) {
    std::string name = "existing/file" + std::to_string(i) + ".txt";
    writeFile(scene / name, "previous " + std::to_string(i), kOlder, 0640);
    files.push_back({u"existing\\file" + string_ito(i, 10) + u".txt", "kit", kitTime(kKitTime)});
  }
  for (int i = 3; i < 10; ++i)
    files.push_back({u"new\\level" + string_ito(i, 10) + u"\\f.txt", "kit", kitTime(kKitTime)});
  std::swap(files[0], files[3]);  // the fourth entry replaces an existing file
  setTimes(scene / "existing", kOlder, 42);
  const auto before = snapshot(scene.templateDir());
  openKit(files);

  uint32_t result;
  lanes = 0;
  {
    FileFaultInjector fault(4, ERROR_INVALID_PARAMETER);
    fault.only({FileOp::CreateFile}).below(widen_lib(scene.templateDir() + "/")).skipping(u"/.n8stp");
    result = install();
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_EQ(ERROR_INVALID_PARAMETER, result);
  const FinalState state = stateOf(data);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, state.code);
  EXPECT_EQ(u"Installation error\nexisting/file0.txt\nThe file system does not allow this operation.",
            state.message);
  EXPECT_EQ(30, state.progress);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
}

// Two things that can stand in the run's way after it planned an entry:
// a file left under the hidden temporary name by an ended process of the
// same number (longer than the entry), and another program's folder that
// appears where the run makes one, just before the run's folder, made
// under another name, takes that name. The first is replaced, so the
// entry is installed whole; the second fails the run, and the rollback
// leaves that folder and its file alone.
std::vector<std::string> sortedNames(const std::string& dir) {
  std::vector<std::string> names = entryNames(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class Interloper {
 public:
  // With an empty `foreignPath`: a stale file under the first temporary
  // name. Otherwise: `foreignPath` written just before the run's file or
  // folder whose name ends with `suffix` is renamed into place.
  Interloper(std::string suffix, std::string foreignPath)
      : suffix_(std::move(suffix)), foreignPath_(std::move(foreignPath)) {
    FileSystem::SetFaultHook(&Interloper::hook, this);
  }
  ~Interloper() { FileSystem::SetFaultHook(nullptr, nullptr); }
  int fired = 0;

 private:
  static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
    auto* self = static_cast<Interloper*>(context);
    const std::string narrow = narrow_lib(path);
    if (self->fired > 0 || narrow.find("/.n8new") == std::string::npos) return 0;
    const std::string& suffix = self->suffix_;
    if (self->foreignPath_.empty() && op == FileOp::CreateFile) {
      writeFile(narrow, std::string(5000, 'x'), kOlder);
      ++self->fired;
    } else if (!self->foreignPath_.empty() && op == FileOp::MoveFileEx &&
               narrow.size() > suffix.size() &&
               narrow.compare(narrow.size() - suffix.size(), suffix.size(), suffix) == 0) {
      writeFile(self->foreignPath_, "another program's", kNewer);
      ++self->fired;
    }
    return 0;
  }
  std::string suffix_, foreignPath_;
};

TEST_F(InstallerTest, WhatAppearsUnderTheRunsNamesIsNeverMixedInOrDeleted) {
  writeFile(scene / "kept.txt", "kept", kOlder);
  openKit({{u"new\\a.txt", "entry a", kitTime(kKitTime)},
           {u"new\\b.txt", "entry b", kitTime(kKitTime)},
           {u"fresh\\one.txt", "one", kitTime(kKitTime)},
           {u"fresh\\two.txt", "two", kitTime(kKitTime)}});
  uint32_t result;
  {
    // "fresh" is the second folder the run makes.
    Interloper foreign("-d1", scene / "fresh/two.txt");
    result = install();
    EXPECT_EQ(1, foreign.fired);
  }
  EXPECT_EQ(ERROR_ALREADY_EXISTS, result);
  EXPECT_EQ("another program's", readText(scene / "fresh/two.txt"));
  EXPECT_EQ((std::vector<std::string>{"two.txt"}), sortedNames(scene / "fresh"));
  EXPECT_FALSE(exists(scene / "new"));
  EXPECT_EQ("kept", readText(scene / "kept.txt"));
  EXPECT_EQ((std::vector<std::string>{"fresh", "kept.txt"}), sortedNames(scene.templateDir()));
  unlink((scene / "fresh/two.txt").c_str());
  rmdir((scene / "fresh").c_str());

  openKit({{u"kept.txt", "kit's kept", kitTime(kKitTime)},
           {u"new\\a.txt", "entry a", kitTime(kKitTime)},
           {u"new\\b.txt", "entry b", kitTime(kKitTime)},
           {u"fresh\\one.txt", "one", kitTime(kKitTime)},
           {u"fresh\\two.txt", "two", kitTime(kKitTime)}});
  {
    Interloper stale("", "");
    EXPECT_EQ(0u, install());
    EXPECT_EQ(1, stale.fired);
  }
  EXPECT_EQ("kit's kept", readText(scene / "kept.txt"));
  EXPECT_EQ("entry a", readText(scene / "new/a.txt"));
  EXPECT_EQ("entry b", readText(scene / "new/b.txt"));
  EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt"}), sortedNames(scene / "new"));
  EXPECT_EQ((std::vector<std::string>{"one.txt", "two.txt"}), sortedNames(scene / "fresh"));
  EXPECT_EQ((std::vector<std::string>{".n8ctl", "fresh", "kept.txt", "new"}), sortedNames(scene.templateDir()));
}

// The report says which file and why, in the interface language: our own
// words for the causes the user can act on, the system's otherwise.
TEST_F(InstallerTest, FailureReportNamesTheFileAndTheReasonInTheInterfaceLanguage) {
  struct Case {
    int errnoValue;
    LangIdType language;
    std::string reason;
  };
  const Case cases[] = {
      {EROFS, LANG_EN, "The file system is read-only."},
      {EACCES, LANG_DE, "Zugriff verweigert."},
      {ENOSPC, LANG_RU, "На диске не осталось места."},
      {ENOTDIR, LANG_EN, "Part of the path is a file, not a folder."},
      {EIO, LANG_EN, "The disk reported a read or write error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    const auto before = snapshot(scene.templateDir());
    openKit({{u"a.txt", "a", kitTime(kKitTime)}, {u"sub\\b.txt", "b", kitTime(kKitTime)}});
    set_resource_lang(c.language);
    const std::string header = narrow_lib(LoadResString("IDS_INSTALL_ERROR"));
    uint32_t result;
    lanes = 0;  // the second file written is sub/b.txt's
    {
      FileFaultInjector fault(2, errorFromErrNo(c.errnoValue));
      fault.only({FileOp::CreateFile}).below(widen_lib(scene.templateDir() + "/")).skipping(u"/.n8stp");
      result = install();
    }
    const FinalState state = stateOf(data);
    set_resource_lang(LANG_EN);
    EXPECT_EQ(errorFromErrNo(c.errnoValue), result);
    EXPECT_EQ(header + "\nsub/b.txt\n" + c.reason,
              narrow_lib(state.message));
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  }
}

// Stands in for a file system without hard links (or that refuses them),
// and fails the `failCreate`-th file opened below the target (0: none).
// Notes, whenever a new file is renamed into place, whether a file still
// stood at `finalName`.
class LinkScene {
 public:
  LinkScene(bool refuseLinks, int failCreate, std::string target)
      : refuseLinks_(refuseLinks), failCreate_(failCreate), target_(std::move(target)) {
    FileSystem::SetFaultHook(&LinkScene::hook, this);
  }
  ~LinkScene() { FileSystem::SetFaultHook(nullptr, nullptr); }
  int linkRefusals = 0, standing = 0, missing = 0;
  std::string finalName;

 private:
  static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
    auto* self = static_cast<LinkScene*>(context);
    const std::string narrow = narrow_lib(path);
    if (op == FileOp::CreateHardLink && self->refuseLinks_) {
      ++self->linkRefusals;
      return ERROR_ACCESS_DENIED;
    }
    if (op == FileOp::CreateFile && narrow.compare(0, self->target_.size(), self->target_) == 0 &&
        ++self->creates_ == self->failCreate_)
      return ERROR_INVALID_PARAMETER;
    if (op == FileOp::MoveFileEx && narrow.find("/.n8new") != std::string::npos &&
        !self->finalName.empty()) {
      struct stat status;
      (lstat(self->finalName.c_str(), &status) == 0 ? self->standing : self->missing)++;
    }
    return 0;
  }
  bool refuseLinks_;
  int failCreate_, creates_ = 0;
  std::string target_;
};

// An original keeps its name until the new file replaces it in one rename;
// where the file system refuses hard links the originals move away first
// (one refusal is enough to know). Either way a failure puts every original
// back, and a run without one installs everything.
TEST_F(InstallerTest, OriginalsStayInPlaceUntilReplacedOrMoveWithoutHardLinks) {
  std::vector<config::KitFileSpec> files;
  for (int i = 0; i < 4; ++i)
    files.push_back({u"docs\\f" + string_ito(i, 10), "kit " + std::to_string(i), kitTime(kKitTime)});
  openKit(files);
  for (bool links : {true, false}) {
    SCOPED_TRACE(links ? "with hard links" : "without");
    for (int i = 0; i < 4; ++i) writeFile(scene / ("docs/f" + std::to_string(i)), "user's", kOlder, 0640);
    setTimes(scene / "docs", kOlder);
    setTimes(scene.templateDir(), kOlder);
    const auto before = snapshot(scene.templateDir());
    {
      LinkScene failing(!links, 4, scene.templateDir() + "/");
      EXPECT_EQ(ERROR_INVALID_PARAMETER, install());
      EXPECT_EQ(links ? 0 : 1, failing.linkRefusals);
    }
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());

    LinkScene clean(!links, 0, scene.templateDir() + "/");
    clean.finalName = scene / "docs/f0";
    EXPECT_EQ(0u, install());
    EXPECT_EQ(links ? 0 : 1, clean.linkRefusals);
    // Every rename looks at f0's name: empty only during f0's own rename,
    // and only when the originals move. The first clean run also renames
    // its record into place; the second finds the record saying the same.
    EXPECT_EQ(links ? 5 : 3, clean.standing);
    EXPECT_EQ(links ? 0 : 1, clean.missing);
    for (int i = 0; i < 4; ++i) EXPECT_EQ("kit " + std::to_string(i), readText(scene / ("docs/f" + std::to_string(i))));
    EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
  }
}

// The wizard's own files are never an entry's place, whatever the target:
// runs' private folders at any depth, temporary names, and the state folder
// with its run records when the target holds the home directory. Such an
// entry is refused before anything changes.
TEST_F(InstallerTest, EntriesNamedLikeTheWizardsOwnFilesAreRefused) {
  writeFile(scene / "a.txt", "user's a", kOlder);
  EnvGuard home("HOME", scene.templateDir().c_str());
  const auto before = snapshot(scene.templateDir());
  for (const char16_t* name : {u".n8stp0", u".n8stp12\\journal", u"sub\\.n8stp3\\b\\x",
                               u".n8new77-1-0", u".ovn8setup\\run-1-0", u".ovn8setup",
                               u".ovn8run-1-0", u".n8ctl\\record", u".n8ctl"}) {
    SCOPED_TRACE(narrow_lib(name));
    // Newer than anything on disk, so that nothing is skipped as up to date.
    openKit({{u"a.txt", "kit a", kitTime(kKitTime)}, {name, "kit", kitTime(4000000000)}});
    EXPECT_EQ(uint32_t(ERROR_INVALID_NAME), install());
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  }
  // Names that only look alike are ordinary files.
  openKit({{u".n8stpx", "x", kitTime(kKitTime)}, {u"n8stp0", "y", kitTime(kKitTime)},
           {u"sub\\.n8ctl\\z", "z", kitTime(kKitTime)}});
  EXPECT_EQ(0u, install());
  EXPECT_EQ("x", readText(scene / ".n8stpx"));
  EXPECT_EQ("z", readText(scene / "sub/.n8ctl/z"));
}

TEST_F(InstallerTest, RepeatedNamesNeverLoseTheOriginal) {
  const std::string original("original\0bytes\xff", 15);
  writeFile(scene / "sub/a.txt", original, kOlder, 0604);
  const auto before = snapshot(scene.templateDir());
  openKit({{u"sub\\a.txt", "first", kitTime(kKitTime)},
           {u"sub/a.txt", "second", kitTime(kKitTime + 10)},
           {u"sub\\a.txt", "third", kitTime(kKitTime + 20)},
           {u"last.txt", "last", kitTime(kKitTime)}});
  {
    FileFaultInjector fault(4);
    fault.only({FileOp::CreateFile}).below(widen_lib(scene.templateDir() + "/")).skipping(u"/.n8stp");
    EXPECT_EQ(ERROR_INVALID_PARAMETER, install());
  }
  EXPECT_EQ(original, readText(scene / "sub/a.txt"));
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));

  EXPECT_EQ(0u, install());
  EXPECT_EQ("third", readText(scene / "sub/a.txt"));
  EXPECT_EQ(kKitTime + 20, modificationTime(scene / "sub/a.txt"));
}

// A folder the run makes comes whole under its name, a later entry of the
// same name in it included. Its staging name, when another user took it
// first, is left alone with what it holds, and another name serves; a
// failure to give the folder its name leaves both as they were.
TEST_F(InstallerTest, ANewFolderComesWholeAndAStagingNameTakenIsLeftAlone) {
  openKit({{u"new\\a.txt", "first", kitTime(kKitTime)},
           {u"new\\deep\\b.txt", "b", kitTime(kKitTime)},
           {u"new\\a.txt", "second", kitTime(kKitTime + 10)},
           {u"top.txt", "top", kitTime(kKitTime)}});
  std::string taken;
  bool failRename = true;
  auto world = [&](FileOp op, const std::u16string& path) -> uint32_t {
    const std::string narrow = narrow_lib(path);
    const bool staging = narrow.compare(0, scene.templateDir().size() + 7, scene.templateDir() + "/.n8new") == 0 &&
                         narrow.rfind('/') == scene.templateDir().size();
    if (op == FileOp::CreateOneDirectory && staging && taken.empty()) {
      // Another user's folder under the name the run is about to make.
      taken = narrow;
      writeFile(taken + "/theirs.txt", "another user's", kOlder);
      EXPECT_EQ(0, chown(taken.c_str(), geteuid() + 1, getegid()));
    }
    if (op == FileOp::MoveFileEx && staging && failRename) return uint32_t(ERROR_INVALID_PARAMETER);
    return 0;
  };
  const auto before = snapshot(scene.templateDir());
  {
    FileFaultInjector rename;
    rename.answering(world);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, install());
  }
  ASSERT_FALSE(taken.empty());
  EXPECT_EQ("another user's", readText(taken + "/theirs.txt"));
  auto withoutTaken = [&](std::map<std::string, std::string> nodes) {
    const std::string name = taken.substr(scene.templateDir().size() + 1);
    for (auto it = nodes.begin(); it != nodes.end();)
      it = it->first == "." || it->first.compare(0, name.size(), name) == 0 ? nodes.erase(it) : std::next(it);
    return nodes;
  };
  EXPECT_EQ("", differences(withoutTaken(before), withoutTaken(snapshot(scene.templateDir()))));

  testkit::removeTree(taken);
  taken.clear();
  failRename = false;
  {
    FileFaultInjector watch;
    watch.answering(world);
    EXPECT_EQ(0u, install());
  }
  EXPECT_EQ("another user's", readText(taken + "/theirs.txt"));
  EXPECT_EQ("second", readText(scene / "new/a.txt"));
  EXPECT_EQ(kKitTime + 10, modificationTime(scene / "new/a.txt"));
  EXPECT_EQ("b", readText(scene / "new/deep/b.txt"));
  EXPECT_EQ((std::vector<std::string>{"a.txt", "deep"}), sortedNames(scene / "new"));
  struct stat status;
  ASSERT_EQ(0, stat((scene / "new").c_str(), &status));
  EXPECT_EQ(0777u & ~process_umask(), status.st_mode & 07777);
  const std::string takenName = taken.substr(scene.templateDir().size() + 1);
  EXPECT_EQ((std::vector<std::string>{".n8ctl", takenName, "new", "top.txt"}), sortedNames(scene.templateDir()));
}

// A link whose target is missing is the user's entry like any file: it is
// kept, replaced by the entry, and comes back after a failure; nothing is
// ever written through it.
TEST_F(InstallerTest, DanglingLinkIsKeptNotFollowed) {
  mkdir(scene.scratch("outside").c_str(), 0755);
  ASSERT_EQ(0, symlink("../outside/made-through-link.txt", (scene / "link.txt").c_str()));
  setTimes(scene / "link.txt", kOlder, 5);
  const auto before = snapshot(scene.templateDir());
  openKit({{u"link.txt", "kit", kitTime(kKitTime)}, {u"second.txt", "2", kitTime(kKitTime)}});
  {
    FileFaultInjector fault(2);
    fault.only({FileOp::CreateFile}).below(widen_lib(scene.templateDir() + "/")).skipping(u"/.n8stp");
    EXPECT_EQ(ERROR_INVALID_PARAMETER, install());
  }
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_FALSE(exists(scene.scratch("outside/made-through-link.txt")));
  EXPECT_EQ(0u, install());
  EXPECT_EQ("kit", readText(scene / "link.txt"));
  EXPECT_FALSE(exists(scene.scratch("outside/made-through-link.txt")));
}

// A folder of the directory that is a link leads outside it: a file written
// through it could never be rolled back or recovered, which never follow a
// link below the directory. Whatever the entry would do there (add a file,
// replace one, make a folder, set a time), the run stops before anything
// changes, on either side of the link.
TEST_F(InstallerTest, ALinkedFolderInsideTheDirectoryIsNeverWrittenThrough) {
  const std::string outside = scene.scratch("outside");
  writeFile(outside + "/older.txt", "user's older", kOlder);
  writeFile(outside + "/same.txt", "same", kOlder);
  ASSERT_EQ(0, symlink("../outside", (scene / "forms").c_str()));
  writeFile(scene / "first.txt", "user's first", kOlder);
  const auto before = snapshot(scene.templateDir());
  const auto outsideBefore = snapshot(outside);
  for (const char16_t* entry : {u"forms\\new.txt", u"forms\\older.txt", u"forms\\deeper\\made.txt",
                                u"forms\\same.txt"}) {
    SCOPED_TRACE(narrow_lib(entry));
    openKit({{u"first.txt", "kit", kitTime(kKitTime)}, {entry, "same", kitTime(kKitTime)}});
    EXPECT_EQ(ERROR_LINKED_FOLDER, install());
    const std::string message = narrow_lib(stateOf(data).message);
    EXPECT_NE(std::string::npos, message.find("Part of the path is a link to another folder.")) << message;
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
    EXPECT_EQ("", differences(outsideBefore, snapshot(outside)));
    EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
  }
  // The directory itself may be reached through a link, and a link in a
  // file's place is replaced, never followed.
  ASSERT_EQ(0, unlink((scene / "forms").c_str()));
  ASSERT_EQ(0, symlink("../outside/older.txt", (scene / "linked.txt").c_str()));
  const std::string viaLink = scene.scratch("directory-link");
  ASSERT_EQ(0, symlink(scene.templateDir().c_str(), viaLink.c_str()));
  openKit({{u"forms\\new.txt", "new", kitTime(kKitTime)}, {u"linked.txt", "kit", kitTime(kKitTime)}});
  data.init(&kit, widen_lib(viaLink));
  EXPECT_EQ(0u, Installer().run(&data));
  EXPECT_EQ("new", readText(scene / "forms/new.txt"));
  EXPECT_EQ("kit", readText(scene / "linked.txt"));
  EXPECT_EQ("", differences(outsideBefore, snapshot(outside)));
}

// A folder in a file's place fails the run whatever its time: skipping it as
// up to date would report a file as installed that is not there.
TEST_F(InstallerTest, FolderWhereAnEntryGoesFailsTheRunUntouched) {
  for (int64_t folderTime : {kOlder, kNewer}) {
    SCOPED_TRACE(folderTime);
    writeFile(scene / "docs/inside.txt", "inside", kOlder);
    setTimes(scene / "docs", folderTime, 1);
    writeFile(scene / "first.txt", "user", kOlder);
    const auto before = snapshot(scene.templateDir());
    openKit({{u"first.txt", "kit", kitTime(kKitTime)}, {u"docs", "a file", kitTime(kKitTime)}});
    EXPECT_EQ(ERROR_DIRECTORY, install());
    EXPECT_EQ(ERROR_DIRECTORY, stateOf(data).code);
    EXPECT_EQ(50, stateOf(data).progress);
    // The report names the folder and why it stops the run.
    const std::string message = narrow_lib(stateOf(data).message);
    EXPECT_EQ(0u, message.find(narrow_lib(LoadResString("IDS_INSTALL_ERROR")) + "\n")) << message;
    EXPECT_NE(std::string::npos, message.find("\ndocs\n")) << message;
    EXPECT_NE(std::string::npos, message.find("A folder stands where the file must go.")) << message;
    EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  }
  // The same when the kit itself made the folder with an earlier entry.
  const auto before = snapshot(scene.templateDir());
  openKit({{u"made\\inner.txt", "inner", kitTime(kKitTime)}, {u"made", "a file", kitTime(kKitTime)}});
  EXPECT_EQ(ERROR_DIRECTORY, install());
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

// 40,000 levels are refused by the reader; a reader filled another way, or a
// deep template directory, must still fail before anything is replaced.
TEST_F(InstallerTest, DestinationLongerThanAPathFailsBeforeAnythingIsReplaced) {
  writeFile(scene / "first.txt", "user", kOlder);
  const auto before = snapshot(scene.templateDir());
  openKit({{u"first.txt", "kit", kitTime(kKitTime)}, {u"deep", "x", kitTime(kKitTime)}});
  std::u16string deep;
  for (int i = 0; i < 40000; ++i) deep += u"a\\";
  kit.entries[1].name = deep + u"f";
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, install());
  EXPECT_EQ(0, stateOf(data).progress);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
}

TEST_F(InstallerTest, NewTemplateDirectoryIsRemovedAfterAFailure) {
  openKit({{u"a\\b.txt", "b", kitTime(kKitTime)}, {u"c.txt", "c", kitTime(kKitTime)}});
  const std::string fresh = scene.scratch("fresh/templates");
  data.init(&kit, widen_lib(fresh));
  {
    FileFaultInjector fault(2);
    fault.only({FileOp::CreateFile}).below(widen_lib(fresh + "/")).skipping(u"/.n8stp");
    Installer installer;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, installer.run(&data));
  }
  EXPECT_FALSE(exists(scene.scratch("fresh")));
  EXPECT_EQ(50, stateOf(data).progress);
}

// Asks the run to stop while it writes the entry at `path`.
class CancelWhileWriting {
 public:
  CancelWhileWriting(InstallProcessData& data, const std::u16string& path)
      : data_(data), path_(path) {
    FileSystem::SetFaultHook(&CancelWhileWriting::hook, this);
  }
  ~CancelWhileWriting() { FileSystem::SetFaultHook(nullptr, nullptr); }

 private:
  static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
    auto* self = static_cast<CancelWhileWriting*>(context);
    // The entry is written under a temporary name beside its place, while
    // the state names the entry.
    if (op != FileOp::CreateFile || path.find(u"/.n8new") == std::u16string::npos) return 0;
    if (stateOf(self->data_).message == self->path_) self->data_.setCancel(true);
    return 0;
  }
  InstallProcessData& data_;
  std::u16string path_;
};

// A confirmed cancel is looked at before every entry, also one that is then
// skipped, and after the last: it never ends as a success.
TEST_F(InstallerTest, CancelAlwaysRollsBackEvenWhenOnlySkippedEntriesRemain) {
  writeFile(scene / "replaced.txt", "older", kOlder);
  writeFile(scene / "skipped1.txt", "newer", kNewer);
  writeFile(scene / "skipped2.txt", "newer", kNewer);
  const auto before = snapshot(scene.templateDir());
  openKit({{u"replaced.txt", "kit", kitTime(kKitTime)},
           {u"skipped1.txt", "kit", kitTime(kKitTime)},
           {u"skipped2.txt", "kit", kitTime(kKitTime)}});
  data.init(&kit, widen_lib(scene.templateDir()));
  {
    CancelWhileWriting cancel(data, target("replaced.txt"));
    Installer installer;
    installer.setFileLanes(0);  // the cancel is asked as an entry is written
    EXPECT_EQ(ERROR_CANCELLED, installer.run(&data));
  }
  EXPECT_EQ(0u, stateOf(data).code);
  EXPECT_EQ(target("replaced.txt"), stateOf(data).message);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());

  // Cancelled while the last entry is written.
  openKit({{u"new.txt", "kit", kitTime(kKitTime)}});
  data.init(&kit, widen_lib(scene.templateDir()));
  {
    CancelWhileWriting cancel(data, target("new.txt"));
    Installer installer;
    installer.setFileLanes(0);  // the cancel is asked as an entry is written
    EXPECT_EQ(ERROR_CANCELLED, installer.run(&data));
  }
  EXPECT_FALSE(exists(scene / "new.txt"));

  // Cancelled before the run begins: nothing is touched at all.
  data.init(&kit, widen_lib(scene.templateDir()));
  data.setCancel(true);
  Installer installer;
  EXPECT_EQ(ERROR_CANCELLED, installer.run(&data));
  EXPECT_FALSE(exists(scene / "new.txt"));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
}

TEST_F(InstallerTest, RefusesToRunWithoutAJobOrWithAnUnsafeName) {
  Installer withoutKit;
  data.init(nullptr, widen_lib(scene.templateDir()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, withoutKit.run(&data));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, stateOf(data).code);
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());

  // The reader refuses such names; entries filled in another way are
  // checked again before anything is written.
  openKit({{u"ok.txt", "ok", kitTime(kKitTime)}, {u"escape.txt", "x", kitTime(kKitTime)}});
  kit.entries[1].name = u"..\\escape.txt";
  EXPECT_EQ(ERROR_INVALID_NAME, install());
  EXPECT_EQ(50, stateOf(data).progress);
  EXPECT_FALSE(exists(scene.scratch("escape.txt")));
  EXPECT_FALSE(exists(scene / "ok.txt"));
}

class RunOnWorker : public InstallWorker {
 public:
  explicit RunOnWorker(InstallProcessData& data) : data_(data) {}
  bool updateProgress() override {
    Installer installer;
    installer.run(&data_);
    return false;
  }

 private:
  InstallProcessData& data_;
};

// The interface's side: start the worker, poll until the state says done,
// then wait for the worker before the objects go away.
TEST_F(InstallerTest, RunsOnTheWorkerThreadWhileTheInterfacePolls) {
  std::vector<config::KitFileSpec> files;
  for (int i = 0; i < 40; ++i)
    files.push_back({u"dir" + string_ito(i % 4, 10) + u"\\f" + string_ito(i, 10),
                     std::string(1000 + i, 'x'), kitTime(kKitTime)});
  openKit(files);
  data.init(&kit, widen_lib(scene.templateDir()));
  RunOnWorker worker(data);
  InstallThread thread;
  ASSERT_EQ(0, thread.start(&worker));
  FinalState state{};
  int lastProgress = 0;
  do {
    state = stateOf(data);
    EXPECT_GE(state.progress, lastProgress);
    lastProgress = state.progress;
  } while (state.code == 0 && state.progress < 100);
  thread.join();
  EXPECT_EQ(0u, state.code);
  EXPECT_EQ(LoadResString("IDS_INSTALL_FINISH"), state.message);
  EXPECT_EQ(std::string(1039, 'x'), readText(scene / "dir3/f39"));
  EXPECT_TRUE(privateFoldersIn(scene.templateDir()).empty());
}

// The run reports which entry it is at and, once over, its own result and
// what it did: the interface need not work either out.
TEST_F(InstallerTest, RunReportsItsEntriesItsEndAndWhatItDid) {
  writeFile(scene / "old.txt", "older", kOlder);
  writeFile(scene / "new.txt", "newer", kNewer);
  openKit({{u"old.txt", "kit", kitTime(kKitTime)},
           {u"new.txt", "kit", kitTime(kKitTime)},
           {u"sub\\a.txt", "kit", kitTime(kKitTime)},
           {u"sub\\a.txt", "kit again", kitTime(kKitTime + 10)}});
  EXPECT_EQ(0u, install());
  RunReport report;
  data.getReport(report);
  EXPECT_EQ(RunPhase::kEnded, report.phase);
  EXPECT_EQ(0u, report.result);
  EXPECT_EQ(3, report.entry);
  EXPECT_EQ(4u, report.entries);
  EXPECT_EQ(u"sub/a.txt", report.entryName);
  EXPECT_EQ(100, report.progress);
  // old.txt replaced, sub/a.txt new (written twice, counted once), new.txt kept.
  EXPECT_EQ(2u, report.installed);
  EXPECT_EQ(1u, report.replaced);
  EXPECT_EQ(1u, report.kept);
  EXPECT_EQ("newer", readText(scene / "new.txt"));
}

TEST_F(InstallerTest, FailedRunReportsItsRollbackCountingDownAndItsResult) {
  writeFile(scene / "e0.txt", "older 0", kOlder);
  writeFile(scene / "e1.txt", "older 1", kOlder);
  openKit({{u"e0.txt", "kit", kitTime(kKitTime)},
           {u"e1.txt", "kit", kitTime(kKitTime)},
           {u"n\\e2.txt", "kit", kitTime(kKitTime)},
           {u"n\\e3.txt", "kit", kitTime(kKitTime)}});
  const auto before = snapshot(scene.templateDir());
  uint32_t result;
  {
    FileFaultInjector fault(4, ERROR_DISK_FULL);
    fault.only({FileOp::CreateFile}).below(widen_lib(scene.templateDir() + "/")).skipping(u"/.n8stp");
    result = install();
  }
  EXPECT_EQ(uint32_t(ERROR_DISK_FULL), result);
  RunReport report;
  data.getReport(report);
  EXPECT_EQ(RunPhase::kEnded, report.phase);
  EXPECT_EQ(uint32_t(ERROR_DISK_FULL), report.result);
  EXPECT_EQ(uint32_t(ERROR_DISK_FULL), report.code);
  EXPECT_EQ(3, report.entry);
  // Every step the journal planned: two originals back, two new files
  // away (the one not yet written included); all of them done.
  EXPECT_EQ(4u, report.restoreTotal);
  EXPECT_EQ(0u, report.restoreLeft);
  EXPECT_EQ(0u, report.installed);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
}

// A stop signal that arrives while the installed files are being synced,
// before the commit, still cancels: nothing was committed, so the run rolls
// back instead of installing after the user asked it to stop.
TEST_F(InstallerTest, AStopAskedForDuringTheFinalSyncRollsBack) {
  writeFile(scene / "replaced.txt", "older", kOlder);
  const auto before = snapshot(scene.templateDir());
  openKit({{u"replaced.txt", "kit", kitTime(kKitTime)}, {u"new.txt", "new", kitTime(kKitTime)}});
  data.init(&kit, widen_lib(scene.templateDir()));
  struct Stop {
    static uint32_t hook(FileOp op, const std::u16string&, void* context) {
      if (op == FileOp::FlushFileSystem) static_cast<InstallProcessData*>(context)->setCancel(true);
      return 0;
    }
  };
  FileSystem::SetFaultHook(&Stop::hook, &data);
  Installer installer;
  const uint32_t result = installer.run(&data);
  FileSystem::SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(ERROR_CANCELLED, result);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
}

// An original that cannot be put back (the disk failing under the
// rollback) is said so: the run's failure names what is left and where the
// originals are kept, the journal and the record stay, and the next start
// finishes the work.
TEST_F(InstallerTest, ARollbackThatCannotFinishSaysWhatIsLeftAndWhere) {
  writeFile(scene / "a.txt", "original a", kOlder);
  writeFile(scene / "b.txt", "original b", kOlder);
  const auto before = snapshot(scene.templateDir());
  openKit({{u"a.txt", "kit a", kitTime(kKitTime)},
           {u"b.txt", "kit b", kitTime(kKitTime)},
           {u"c.txt", "kit c", kitTime(kKitTime)}});
  data.init(&kit, widen_lib(scene.templateDir()));
  struct Faults {
    int renames = 0;
    static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
      auto* self = static_cast<Faults*>(context);
      // The third entry's file cannot be put in place; then the disk fails
      // under every rename back out of the private folder.
      if (op == FileOp::MoveFileEx && path.find(u"/.n8new") != std::u16string::npos &&
          ++self->renames == 3)
        return errorFromErrNo(ENOSPC);
      if (op == FileOp::MoveFileEx && path.find(u"/.n8stp0/b/") != std::u16string::npos)
        return errorFromErrNo(EIO);
      return 0;
    }
  } faults;
  FileSystem::SetFaultHook(&Faults::hook, &faults);
  Installer installer;
  const uint32_t result = installer.run(&data);
  FileSystem::SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(uint32_t(ERROR_DISK_FULL), result);
  const std::string message = narrow_lib(stateOf(data).message);
  EXPECT_NE(std::string::npos, message.find("The template directory could not be fully restored. "
                                            "The original files are kept in: " +
                                            scene.templateDir() + "/.n8stp0/"))
      << message;
  EXPECT_NE(std::string::npos, message.find(scene / "a.txt")) << message;
  EXPECT_TRUE(isDir(scene / ".n8stp0"));
  EXPECT_EQ(1u, leftInHome(scene.homeDir()).size());
  // The next start puts back what the run could not.
  const std::vector<RecoveryNotice> notices = recover_stopped_installations();
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(RecoveryNotice::Kind::kRestored, notices[0].kind);
  EXPECT_EQ("", differences(before, snapshot(scene.templateDir())));
  EXPECT_TRUE(leftInHome(scene.homeDir()).empty());
}

// Without the shared state there is no kit and no directory: the run
// refuses at once instead of reaching through the missing state.
TEST(InstallerWithoutStateTest, RefusesAndTouchesNothing) {
  FileFaultInjector watch;
  Installer installer;
  EXPECT_EQ(uint32_t(ERROR_INVALID_PARAMETER), installer.run(nullptr));
  EXPECT_EQ(0u, watch.count());
}

}  // namespace

// A kit whose data lies in another order than its table is not streamed:
// it is unpacked whole at open and installs as before, each entry put in
// place as soon as it is written.
TEST_F(InstallerTest, AKitLaidOutInAnotherOrderInstallsFromTheWholeContainer) {
  writeFile(scene / "a.txt", "original a", kOlder);
  config::KitSpec spec;
  spec.files = {{u"a.txt", "kit a", kitTime(kKitTime)},
                {u"sub\\b.txt", "kit b", kitTime(kKitTime)},
                {u"c.txt", "kit c", kitTime(kKitTime)}};
  config::KitLayout reversed;
  reversed.reverseData = true;
  ASSERT_TRUE(config::writeKit(scene.scratch("reversed.okd"), spec, reversed));
  ASSERT_EQ(0u, kit.openStreamed(widen_lib(scene.scratch("reversed.okd"))));
  ASSERT_FALSE(kit.streamed());
  // The first entry stands in its place before the second is written.
  bool firstInPlace = false;
  FileFaultInjector watch;
  watch.only({FileOp::CreateFile}).answering([&](FileOp, const std::u16string& path) {
    if (path.size() > 6 && path.compare(path.size() - 6, 6, u"/b.txt") == 0)
      firstInPlace = readText(scene / "a.txt") == "kit a";
    return 0u;
  });
  EXPECT_EQ(0u, install());
  EXPECT_TRUE(firstInPlace);
  EXPECT_EQ("kit a", readText(scene / "a.txt"));
  EXPECT_EQ("kit b", readText(scene / "sub/b.txt"));
  EXPECT_EQ("kit c", readText(scene / "c.txt"));
  EXPECT_EQ(kKitTime, modificationTime(scene / "c.txt"));
}
