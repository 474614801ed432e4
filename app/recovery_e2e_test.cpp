// Recovery when the world changes between a kill and the next start: the
// finished program is killed in the middle of installing a kit of a few
// hundred files over older copies, then the directory, the temporary
// directory or the home directory is moved, emptied, unmounted or re-pointed,
// edited, or shared with another local user. Every run ends with the
// directory exactly as it was before (or fully installed), and with none of
// the wizard's own files left behind.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/e2e_support.h"
#include "install/journal_file.h"
#include "kit/kit_writer.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

using Tree = std::map<std::string, std::string>;

using e2e::Result;

const char kTitle[] = "Installing configuration: ";
const char kNoKit[] = "Installing configuration: Distribution kit file ovn8.okd not found.";
const char kRestored[] =
    "The previous installation into this directory was interrupted. The directory has been "
    "restored to the state it had before: ";
const char kPending[] =
    "An interrupted installation into this directory will be put right when the directory is back: ";
const char kKeptChanges[] = "Files changed after the interruption were kept:";
const char kBusyText[] =
    "Installing configuration: Another installation into this template directory is in progress. "
    "Wait until it has finished and start the installation again.\n";

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Every node below `root` (the root itself under "", a link there
// followed) with its type, mode, owner, time and content: two equal trees
// mean nothing was touched.
void collect(const std::string& root, const std::string& relative, Tree& nodes) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat status;
  if ((relative.empty() ? stat(path.c_str(), &status) : lstat(path.c_str(), &status)) != 0) return;
  std::string line = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) + " " +
                     std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
  if (S_ISREG(status.st_mode)) line += " " + std::to_string(status.st_size) + " " +
                                       (status.st_size < (1 << 20) ? testkit::readFile(path) : "");
  if (S_ISLNK(status.st_mode)) {
    char target[4096];
    const ssize_t size = readlink(path.c_str(), target, sizeof target);
    line += " -> " + std::string(target, size > 0 ? size_t(size) : 0);
  }
  nodes[relative] = line;
  if (!S_ISDIR(status.st_mode)) return;
  for (const std::string& name : testkit::entryNames(path))
    collect(root, relative.empty() ? name : relative + "/" + name, nodes);
}

Tree tree_of(const std::string& root) {
  Tree nodes;
  collect(root, "", nodes);
  return nodes;
}

// The paths whose nodes differ, for the failure message.
std::string differences(const Tree& before, const Tree& now) {
  std::string text;
  for (const auto& node : before) {
    auto other = now.find(node.first);
    if (other == now.end()) text += "missing " + node.first + "\n";
    else if (other->second != node.second) text += "changed " + node.first + ": " + other->second.substr(0, 60) + "\n";
  }
  for (const auto& node : now)
    if (before.count(node.first) == 0) text += "added " + node.first + "\n";
  return text;
}

// The wizard's own names anywhere below `root`: private folders and
// temporary files.
std::vector<std::string> own_names_below(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& node : tree_of(root)) {
    const std::string name = node.first.substr(node.first.rfind('/') + 1);
    if (starts_with(name, ".n8stp") || starts_with(name, ".n8new")) found.push_back(node.first);
  }
  return found;
}

using e2e::locked_by_someone;

// Whether `child` has ended (it stays to be reaped by finish).
bool ended(pid_t child) {
  siginfo_t info = {};
  return waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

bool wait_until(const std::function<bool()>& condition, pid_t child) {
  for (int i = 0; i < 600000; ++i) {
    if (condition()) return true;
    if (ended(child)) return condition();
    usleep(100);
  }
  return false;
}

// Whether a thread of `child` is inside syncfs(2) right now.
bool in_syncfs(pid_t child) {
  const std::string tasks = "/proc/" + std::to_string(child) + "/task";
  for (const std::string& task : testkit::entryNames(tasks))
    if (starts_with(testkit::readFile(tasks + "/" + task + "/syscall"), std::to_string(SYS_syncfs) + " "))
      return true;
  return false;
}

// The content the kit gives file `i`.
std::string new_content(int i, size_t size) { return std::string(size, char('a' + i % 26)) + std::to_string(i); }

std::string file_name(int i) { return "d" + std::to_string(i % 7) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i); }

std::u16string kit_name(const std::string& name) {
  std::u16string wide;
  for (char c : name) wide.push_back(c == '/' ? u'\\' : char16_t(c));
  return wide;
}

// Unmounts at the end of a scope, innermost first.
struct Mounts {
  std::vector<std::string> points;
  ~Mounts() {
    for (auto it = points.rbegin(); it != points.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }
};

class RecoveryE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    binary_ = e2e::wizard_binary();
    if (binary_.empty()) GTEST_SKIP() << "no ovn8setup built";
    ASSERT_TRUE(scratch_.ok());
    root_ = scratch_.path();
    home_ = root_ + "/home";
    tmp_ = root_ + "/tmp";
    kitDir_ = root_ + "/kit";
    for (const std::string& dir : {home_, tmp_, kitDir_}) mkdir(dir.c_str(), 0755);
  }

  // Starts `ovn8setup usecwd -S` with `args` in the kit directory, with
  // home_ and tmp_, without a display. With a `gate`, the child waits for a
  // byte on it before it executes the program (its process id is known
  // before it runs).
  pid_t spawn(std::vector<std::string> args, const std::string& tag = "", int gate = -1) {
    const std::string outPath = root_ + "/out" + tag, errPath = root_ + "/err" + tag;
    const pid_t child = fork();
    if (child == 0) {
      char byte;
      if (gate >= 0 && read(gate, &byte, 1) != 1) _exit(121);
      alarm(120);  // kept across exec: a run that blocks ends as 1014
      if (chdir(kitDir_.c_str()) != 0) _exit(120);
      setenv("HOME", home_.c_str(), 1);
      setenv("TMPDIR", tmp_.c_str(), 1);
      setenv("LANG", "C.UTF-8", 1);
      for (const char* name : {"LC_ALL", "LANGUAGE", "OVN8_MESSAGE_BOX", "DISPLAY"}) unsetenv(name);
      std::vector<std::string> all = {binary_, "usecwd", "-S"};
      all.insert(all.end(), args.begin(), args.end());
      e2e::exec_with_output(all, outPath, errPath);
    }
    return child;
  }

  Result finish(pid_t child, const std::string& tag = "") {
    return e2e::finish_child(child, root_ + "/out" + tag, root_ + "/err" + tag);
  }

  Result install(const std::string& target) { return finish(spawn({"--target=" + target})); }

  // A start with the kit moved away: only the recovery runs, then the
  // start-up check ends it with status 1.
  Result start(std::vector<std::string> args = {}) {
    const std::string kit = kitDir_ + "/ovn8.okd", away = root_ + "/kit.away";
    rename(kit.c_str(), away.c_str());
    Result result = finish(spawn(std::move(args), "start"), "start");
    rename(away.c_str(), kit.c_str());
    EXPECT_EQ(result.status, 1) << result.err;
    return result;
  }

  // A kit of `count` files d<i%7>/s<i%3>/f<i> of about `size` bytes, with
  // older copies of the even ones and a file of the user's own in `target`;
  // `extra` entries (name, content) come first.
  void writeKit(const std::string& target, int count, size_t size,
                const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Recovery", u"Vendor", u""}};
    for (const auto& entry : extra)
      spec.files.emplace_back(kit_name(entry.first), entry.second, config::fileTimeFromUnix(1600000000, 0));
    for (int i = 0; i < count; ++i) {
      spec.files.emplace_back(kit_name(file_name(i)), new_content(i, size),
                              config::fileTimeFromUnix(1600000000 + i, 0));
      if (i % 2 != 0 || target.empty()) continue;
      const std::string path = target + "/" + file_name(i);
      ASSERT_TRUE(testkit::makeDirs(path.substr(0, path.rfind('/'))));
      ASSERT_TRUE(testkit::writeFile(path, "old copy " + std::to_string(i)));
      const struct timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
      utimensat(AT_FDCWD, path.c_str(), old, 0);
    }
    if (!target.empty()) {
      ASSERT_TRUE(testkit::writeFile(target + "/own.txt", "the user's own file"));
    }
    ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd", spec, layout_));
    count_ = count;
    size_ = size;
  }

  // Starts an installation into `target` and waits until it has reported
  // `lines` entries while holding the directory's lock.
  pid_t startMidRun(const std::string& target, const std::string& tag, int lines = 150) {
    const pid_t child = spawn({"--target=" + target}, tag);
    const std::string out = root_ + "/out" + tag;
    EXPECT_TRUE(wait_until([&] { return locked_by_someone(target); }, child)) << target;
    EXPECT_TRUE(wait_until([&] { return count_of(testkit::readFile(out), "\n") >= lines; }, child));
    return child;
  }

  // Kills an installation into `target` in the middle: its private folder
  // and run record stay behind.
  void killMidRun(const std::string& target, int lines = 150) {
    const pid_t child = startMidRun(target, "k", lines);
    kill(child, SIGKILL);
    const Result killed = finish(child, "k");
    ASSERT_EQ(killed.status, 1000 + SIGKILL) << killed.err;
    ASSERT_EQ(own_names_below(target).empty(), false) << "the run had ended before the kill";
    ASSERT_EQ(records(), 1u);
  }

  // A kit of 600 files over older copies in `target` (tree before it in
  // `before`), and an installation of it killed in the middle.
  void killOverOlderCopies(const std::string& target, Tree& before) {
    ASSERT_NO_FATAL_FAILURE(writeKit(target, 600, 2000));
    before = tree_of(target);
    ASSERT_NO_FATAL_FAILURE(killMidRun(target));
  }

  size_t records() const { return testkit::entryNames(home_ + "/.ovn8setup").size(); }

  // No private folder, temporary file or run record is left.
  void expectNothingLeft(const std::string& target) {
    EXPECT_EQ(own_names_below(target), std::vector<std::string>());
    EXPECT_FALSE(testkit::exists(home_ + "/.ovn8setup")) << records() << " records";
  }

  // Every file of the kit in `target` with its new content.
  void expectInstalled(const std::string& target) {
    for (int i = 0; i < count_; ++i)
      ASSERT_EQ(testkit::readFile(target + "/" + file_name(i)), new_content(i, size_)) << file_name(i);
    EXPECT_EQ(testkit::readFile(target + "/own.txt"), "the user's own file");
  }

  testkit::ScratchDir scratch_{"/tmp", "ovn8rec"};
  // The kit-not-found line: the sentence, then where the wizard looked.
  std::string noKit() const {
    return std::string(kNoKit) + " The wizard looked for it here: " + kitDir_ + "/ovn8.okd\n";
  }

  std::string binary_, root_, home_, tmp_, kitDir_;
  config::KitLayout layout_;
  int count_ = 0;
  size_t size_ = 0;
};

TEST_F(RecoveryE2eTest, TemporaryDirectoryEmptiedAfterAKillTheNextStartRestores) {
  const std::string target = root_ + "/tmplts";
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(target, before));
  testkit::removeTree(tmp_);
  mkdir(tmp_.c_str(), 0755);
  const Result next = start();
  EXPECT_EQ(next.err, kTitle + std::string(kRestored) + target + "/\n" + noKit());
  EXPECT_EQ(differences(before, tree_of(target)), "");
  expectNothingLeft(target);
  // Only the wizard's own private folder, empty.
  const std::string own = "ovn8-" + std::to_string(geteuid());
  for (const std::string& name : testkit::entryNames(tmp_)) {
    EXPECT_EQ(name, own);
    EXPECT_TRUE(testkit::entryNames(tmp_ + "/" + name).empty());
  }
}

TEST_F(RecoveryE2eTest, RenamedTargetIsPendingUntilARunIntoItsNewPlaceRestoresIt) {
  const std::string target = root_ + "/tmplts", moved = root_ + "/moved";
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(target, before));
  ASSERT_EQ(rename(target.c_str(), moved.c_str()), 0);
  const Tree killed = tree_of(moved);

  const Result pending = start();
  EXPECT_EQ(pending.err, kTitle + std::string(kPending) + target + "/\n" + noKit());
  EXPECT_EQ(records(), 1u);
  EXPECT_EQ(differences(killed, tree_of(moved)), "");
  EXPECT_FALSE(testkit::exists(target));

  // Put right by the next run into the folder where it is now, then
  // installed there.
  const Result installed = install(moved);
  EXPECT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(installed.err, kTitle + std::string(kRestored) + moved + "/\n");
  expectInstalled(moved);
  EXPECT_EQ(tree_of(moved).at("own.txt"), before.at("own.txt"));

  const Result quiet = start();
  EXPECT_EQ(quiet.err, noKit());
  expectNothingLeft(moved);
}

TEST_F(RecoveryE2eTest, UnmountedFileSystemIsPendingAndRestoredOnceMountedAgain) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const std::string store = root_ + "/store", parent = root_ + "/mnt";
  mkdir(store.c_str(), 0755);
  mkdir(parent.c_str(), 0755);
  Mounts mounts;
  if (mount("tmpfs", store.c_str(), "tmpfs", 0, "size=64m") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
  mounts.points.push_back(store);
  // The file system appears at the target's parent through a bind mount, so
  // that it keeps its files (and its identity) while it is not there.
  ASSERT_EQ(mount(store.c_str(), parent.c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.points.push_back(parent);
  const std::string target = parent + "/tmplts";
  mkdir(target.c_str(), 0755);
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(target, before));
  const Tree killed = tree_of(store);
  ASSERT_EQ(umount2(parent.c_str(), 0), 0);
  mounts.points.pop_back();

  const Result pending = start({"--target=" + target});
  EXPECT_EQ(count_of(pending.err, kTitle + std::string(kPending) + target + "/\n"), 1) << pending.err;
  EXPECT_EQ(pending.err.find(kRestored), std::string::npos);
  EXPECT_EQ(records(), 1u);
  EXPECT_EQ(testkit::entryNames(parent).size(), 0u) << "made on the file system below";
  EXPECT_EQ(differences(killed, tree_of(store)), "");

  ASSERT_EQ(mount(store.c_str(), parent.c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.points.push_back(parent);
  const Result restored = start();
  EXPECT_EQ(restored.err, kTitle + std::string(kRestored) + target + "/\n" + noKit());
  EXPECT_EQ(differences(before, tree_of(target)), "");
  expectNothingLeft(target);
}

TEST_F(RecoveryE2eTest, RepointedLinkLeavesTheOtherFolderAloneUntilItPointsBack) {
  const std::string real = root_ + "/real", other = root_ + "/other", link = root_ + "/link";
  mkdir(real.c_str(), 0755);
  ASSERT_TRUE(testkit::makeDirs(other + "/d0/s0"));
  ASSERT_TRUE(testkit::writeFile(other + "/d0/s0/f0", "the other folder's file"));
  ASSERT_TRUE(testkit::writeFile(other + "/own.txt", "the other folder's own"));
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(writeKit(real, 600, 2000));
  const Tree before = tree_of(real), otherBefore = tree_of(other);
  ASSERT_NO_FATAL_FAILURE(killMidRun(link));
  const Tree killed = tree_of(real);

  unlink(link.c_str());
  ASSERT_EQ(symlink(other.c_str(), link.c_str()), 0);
  Result next = start();
  EXPECT_EQ(next.err, kTitle + std::string(kPending) + link + "/\n" + noKit());
  EXPECT_EQ(differences(otherBefore, tree_of(other)), "");
  EXPECT_EQ(records(), 1u);

  // A new empty folder under the old name is not the directory either.
  unlink(link.c_str());
  mkdir(link.c_str(), 0755);
  next = start();
  EXPECT_EQ(next.err, kTitle + std::string(kPending) + link + "/\n" + noKit());
  EXPECT_EQ(testkit::entryNames(link).size(), 0u);
  EXPECT_EQ(records(), 1u);
  EXPECT_EQ(differences(killed, tree_of(real)), "");

  rmdir(link.c_str());
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  next = start();
  EXPECT_EQ(next.err, kTitle + std::string(kRestored) + link + "/\n" + noKit());
  EXPECT_EQ(differences(before, tree_of(real)), "");
  EXPECT_EQ(differences(otherBefore, tree_of(other)), "");
  expectNothingLeft(real);
}

TEST_F(RecoveryE2eTest, HomeReachedThroughALinkAtTheNextStartStillRestores) {
  const std::string target = root_ + "/tmplts";
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(target, before));
  const std::string realHome = home_;
  home_ = root_ + "/homelink";
  ASSERT_EQ(symlink(realHome.c_str(), home_.c_str()), 0);
  const Result next = start();
  EXPECT_EQ(next.err, kTitle + std::string(kRestored) + target + "/\n" + noKit());
  EXPECT_EQ(differences(before, tree_of(target)), "");
  home_ = realHome;
  expectNothingLeft(target);
}

TEST_F(RecoveryE2eTest, FilesEditedAfterAKillAreKeptAndNamed) {
  const std::string target = root_ + "/tmplts";
  // A kit unpacked whole puts each file in place as soon as it is written
  // (a streamed one only after its last), so the kill finds some in place.
  layout_.reverseData = true;
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(target, before));
  // One file the run added (odd) and one it replaced (even), both written.
  std::string added, replaced;
  for (int i = 0; i < count_ && (added.empty() || replaced.empty()); ++i) {
    std::string& pick = i % 2 ? added : replaced;
    if (pick.empty() && testkit::readFile(target + "/" + file_name(i)) == new_content(i, size_)) pick = file_name(i);
  }
  ASSERT_FALSE(added.empty() || replaced.empty());
  ASSERT_TRUE(testkit::writeFile(target + "/" + added, "edited after the kit"));
  ASSERT_TRUE(testkit::writeFile(target + "/" + replaced, "edited over the kit's"));

  const Result next = start();
  EXPECT_EQ(testkit::readFile(target + "/" + added), "edited after the kit");
  std::string kept;
  const std::string folder = replaced.substr(0, replaced.rfind('/'));
  for (const std::string& name : testkit::entryNames(target + "/" + folder))
    if (starts_with(name, replaced.substr(folder.size() + 1) + ".~kept-")) kept = folder + "/" + name;
  ASSERT_FALSE(kept.empty()) << next.err;
  EXPECT_EQ(kept.back(), '~');
  EXPECT_EQ(testkit::readFile(target + "/" + kept), "edited over the kit's");
  // Without a display the notice is one line.
  EXPECT_EQ(next.err, kTitle + std::string(kRestored) + target + "/ " + kKeptChanges + " " + target + "/" +
                          added + " " + target + "/" + kept + "\n" + noKit());
  // Apart from the two edits, the directory is as it was, original included.
  Tree now = tree_of(target);
  now.erase(kept);
  now.erase(added);
  EXPECT_EQ(differences(before, now), "");
  expectNothingLeft(target);
}

TEST_F(RecoveryE2eTest, StaleRecordInAnotherHomeDoesNotUndoALaterSuccessfulRetry) {
  const std::string target = root_ + "/tmplts";
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(target, before));
  const std::string firstHome = home_;
  home_ = root_ + "/home2";
  mkdir(home_.c_str(), 0755);
  const Result retry = install(target);
  EXPECT_EQ(retry.status, 0) << retry.err;
  EXPECT_NE(retry.err.find(kRestored), std::string::npos) << retry.err;
  expectInstalled(target);
  const Tree installed = tree_of(target);

  home_ = firstHome;
  EXPECT_EQ(records(), 1u);
  const Result next = start();
  EXPECT_EQ(next.err, noKit());
  EXPECT_EQ(differences(installed, tree_of(target)), "");
  expectNothingLeft(target);
}

TEST_F(RecoveryE2eTest, NestedTargetsRefuseEachOtherUntilTheHeldOneIsRecovered) {
  for (bool outerHeld : {true, false}) {
    SCOPED_TRACE(outerHeld ? "outer held" : "inner held");
    const std::string outer = root_ + "/T" + (outerHeld ? "1" : "2"), inner = outer + "/sub";
    const std::string held = outerHeld ? outer : inner, refused = outerHeld ? inner : outer;
    ASSERT_TRUE(testkit::makeDirs(held));
    ASSERT_NO_FATAL_FAILURE(writeKit(held, 600, 2000));
    const Tree before = tree_of(outer);
    const pid_t holder = startMidRun(held, "h");
    kill(holder, SIGSTOP);
    const Result busy = install(refused);
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(busy.err, kBusyText);
    EXPECT_EQ(busy.out, "");

    kill(holder, SIGKILL);
    EXPECT_EQ(finish(holder, "h").status, 1000 + SIGKILL);
    const Result next = start();
    EXPECT_EQ(next.err, kTitle + std::string(kRestored) + held + "/\n" + noKit());
    EXPECT_EQ(differences(before, tree_of(outer)), "");
    expectNothingLeft(outer);

    const Result installed = install(refused);
    EXPECT_EQ(installed.status, 0) << installed.err;
    expectNothingLeft(outer);
  }
}

TEST_F(RecoveryE2eTest, KitWithTheWizardsOwnNamesIsRefusedInHomeAndNoStartTouchesTheUsersFiles) {
  ASSERT_TRUE(testkit::makeDirs(home_ + "/Documents"));
  ASSERT_TRUE(testkit::writeFile(home_ + "/Documents/report.odt", "the user's report"));
  const struct timespec old[2] = {{1400000000, 0}, {1400000000, 0}};
  utimensat(AT_FDCWD, (home_ + "/Documents/report.odt").c_str(), old, 0);
  for (const char* own : {".ovn8setup/run-1-0", ".n8stp0/journal"}) {
    SCOPED_TRACE(own);
    ASSERT_NO_FATAL_FAILURE(writeKit(home_, 300, 500, {{"forms/a.tpl", "a"}, {own, "crafted"}}));
    const Tree before = tree_of(home_);
    const Result refused = install(home_);
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_EQ(differences(before, tree_of(home_)), "");
    EXPECT_EQ(start().err, noKit());
    EXPECT_EQ(differences(before, tree_of(home_)), "");
  }

  // Killed while installing into the home directory: the next start puts it
  // back and leaves the report as it is.
  Tree before;
  ASSERT_NO_FATAL_FAILURE(killOverOlderCopies(home_, before));
  EXPECT_EQ(start().err, kTitle + std::string(kRestored) + home_ + "/\n" + noKit());
  EXPECT_EQ(differences(before, tree_of(home_)), "");
  expectNothingLeft(home_);
}

TEST_F(RecoveryE2eTest, TargetInTheTemporaryDirectoryKeepsFilesNamedLikeUnpackedKits) {
  ASSERT_TRUE(testkit::writeFile(tmp_ + "/odkABCDEF", "the user's file"));
  ASSERT_NO_FATAL_FAILURE(writeKit("", 20, 100, {{"odkreport", "installed report"}}));
  const Result installed = install(tmp_);
  EXPECT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(testkit::readFile(tmp_ + "/odkreport"), "installed report");
  EXPECT_EQ(testkit::readFile(tmp_ + "/odkABCDEF"), "the user's file");
  const Tree after = tree_of(tmp_);
  EXPECT_EQ(start().err, noKit());
  EXPECT_EQ(differences(after, tree_of(tmp_)), "");
  expectNothingLeft(tmp_);
}

TEST_F(RecoveryE2eTest, LevelsMadeForAMissingTargetGoAndTheParentsTimeComesBack) {
  for (bool userFileInALevel : {false, true}) {
    SCOPED_TRACE(userFileInALevel ? "a file of the user's in the outer level" : "levels left empty");
    const std::string parent = root_ + (userFileInALevel ? "/parent2" : "/parent1");
    const std::string target = parent + "/x/y/tmplts";
    mkdir(parent.c_str(), 0755);
    ASSERT_TRUE(testkit::writeFile(parent + "/mine.txt", "mine"));
    ASSERT_NO_FATAL_FAILURE(writeKit("", 600, 2000));
    const struct timespec old[2] = {{1400000000, 0}, {1400000000, 0}};
    utimensat(AT_FDCWD, parent.c_str(), old, 0);
    const Tree before = tree_of(parent);
    ASSERT_NO_FATAL_FAILURE(killMidRun(target));
    if (userFileInALevel) {
      ASSERT_TRUE(testkit::writeFile(parent + "/x/later.txt", "made after the kill"));
    }

    const Result next = start();
    EXPECT_EQ(next.err, kTitle + std::string(kRestored) + target + "/\n" + noKit());
    if (userFileInALevel) {
      EXPECT_EQ(testkit::entryNames(parent + "/x"), std::vector<std::string>{"later.txt"});
    } else {
      EXPECT_EQ(differences(before, tree_of(parent)), "");
    }
    expectNothingLeft(parent);
  }
  // A run that fails rolls back the same way.
  const std::string parent = root_ + "/parent3";
  mkdir(parent.c_str(), 0755);
  ASSERT_NO_FATAL_FAILURE(writeKit("", 300, 100, {{"a.tpl", "a"}, {".n8stp0/journal", "crafted"}}));
  const struct timespec old[2] = {{1400000000, 0}, {1400000000, 0}};
  utimensat(AT_FDCWD, parent.c_str(), old, 0);
  const Tree before = tree_of(parent);
  EXPECT_EQ(install(parent + "/x/y/tmplts").status, 2);
  EXPECT_EQ(differences(before, tree_of(parent)), "");
  expectNothingLeft(parent);
}

TEST_F(RecoveryE2eTest, StopSignalDuringTheFinalSyncRollsBackAndEndsWithThree) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a loop image needs root";
  // The target lies on a file system of its own, so that the final sync
  // has every installed byte to write and lasts long enough to be seen.
  const std::string image = root_ + "/slow.img", mountPoint = root_ + "/slow";
  mkdir(mountPoint.c_str(), 0755);
  Mounts mounts;
  if (system(("truncate -s 400M '" + image + "' && mkfs.ext4 -q '" + image + "' && mount -o loop '" + image +
              "' '" + mountPoint + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a loop image";
  mounts.points.push_back(mountPoint);
  const std::string target = mountPoint + "/tmplts";
  mkdir(target.c_str(), 0755);
  ASSERT_NO_FATAL_FAILURE(writeKit(target, 8, 24 << 20));
  ASSERT_EQ(system("sync"), 0);
  const Tree before = tree_of(target);
  const pid_t child = spawn({"--target=" + target}, "s");
  // The stop arrives while a thread of the wizard is inside syncfs(2).
  const bool caught = wait_until([&] { return in_syncfs(child); }, child);
  kill(child, SIGTERM);
  const Result result = finish(child, "s");
  if (!caught) GTEST_SKIP() << "the final sync ended before it could be seen (status " << result.status << ")";
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_EQ(result.err, "Installation canceled. Template directory has not been changed.\n");
  EXPECT_EQ(differences(before, tree_of(target)), "");
  expectNothingLeft(target);
}

// ---- A second local user ----

// Makes this (child) process the user `uid`, or ends it.
void become(uid_t uid, gid_t gid) {
  if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
}

// Runs `act` in a child process as the user `uid`; true when it returned true.
bool as_user(uid_t uid, gid_t gid, const std::function<bool()>& act) {
  const pid_t child = fork();
  if (child == 0) {
    become(uid, gid);
    _exit(act() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool sparse_file(const std::string& path, off_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  const bool made = fd >= 0 && ftruncate(fd, size) == 0;
  if (fd >= 0) close(fd);
  return made;
}

// Something of every kind at `path`, by `kind`: a file, a folder, a FIFO, a
// link to `victim`, a 3 GiB sparse file.
bool plant(const std::string& path, int kind, const std::string& victim) {
  switch (kind % 5) {
    case 0: {
      // Never opens what stands there already (a FIFO would block).
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      return fd >= 0 && write(fd, "planted", 7) == 7 && close(fd) == 0;
    }
    case 1: return mkdir(path.c_str(), 0777) == 0;
    case 2: return mkfifo(path.c_str(), 0666) == 0;
    case 3: return symlink(victim.c_str(), path.c_str()) == 0;
    default: return sparse_file(path, off_t(3) << 30);
  }
}

// A journal in the other user's `.n8stp0` that names `directory` by its
// identity and would, if trusted, delete own.txt and put its own top0 back.
bool craft_journal(const std::string& directory) {
  struct stat target;
  if (stat(directory.c_str(), &target) != 0) return false;
  const std::string folder = directory + "/.n8stp0";
  if (mkdir(folder.c_str(), 0700) != 0 || !testkit::makeDirs(folder + "/b")) return false;
  if (!testkit::writeFile(folder + "/b/top0", "the other user's top0")) return false;
  JournalHeader header;
  header.runId = 42;
  header.target.device = target.st_dev;
  header.target.inode = target.st_ino;
  header.hiddenName = u".n8stp0";
  JournalWriter journal;
  if (journal.create(widen_lib(folder + "/journal"), header) != ERROR_SUCCESS) return false;
  struct stat own;
  if (stat((directory + "/own.txt").c_str(), &own) != 0) return false;
  ExpectedFile expected;
  expected.size = uint64_t(own.st_size);
  expected.writeSeconds = own.st_mtim.tv_sec;
  expected.writeNanoseconds = own.st_mtim.tv_nsec;
  journal.record(JournalRecordType::kAdded, u"own.txt");
  journal.expected(u"own.txt", expected);
  journal.record(JournalRecordType::kKept, u"top0");
  return journal.flush() == ERROR_SUCCESS;
}

// The nodes of `tree` owned by `uid`.
Tree owned_by(const Tree& tree, uid_t uid) {
  Tree owned;
  for (const auto& node : tree)
    if (node.second.find(" " + std::to_string(uid) + " ") == node.second.find(' ')) owned.insert(node);
  return owned;
}

class LocalUser {
 public:
  explicit LocalUser(const std::string& name) : name_(name) {
    if (system(("useradd -M -N -s /usr/sbin/nologin " + name + " 2>/dev/null").c_str()) != 0) return;
    made_ = true;
    if (const passwd* entry = getpwnam(name.c_str())) uid_ = entry->pw_uid, gid_ = entry->pw_gid;
  }
  ~LocalUser() {
    if (made_) (void)system(("userdel " + name_ + " 2>/dev/null").c_str());
  }
  bool ok() const { return made_ && uid_ != 0; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

 private:
  std::string name_;
  bool made_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(RecoveryE2eTest, AnotherLocalUserCanNeitherSteerNorStopTheWizard) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const LocalUser other("ovn8o" + std::to_string(getpid() % 100000));
  if (!other.ok()) GTEST_SKIP() << "cannot add a user";
  // The victim's home, its private files, a sticky shared temporary
  // directory and a shared template folder, all on one file system.
  chmod(root_.c_str(), 0755);
  chmod(home_.c_str(), 0700);
  const std::string secret = root_ + "/private/secret.txt", shared = root_ + "/shared";
  ASSERT_TRUE(testkit::makeDirs(root_ + "/private"));
  ASSERT_TRUE(testkit::writeFile(secret, "the victim's secret"));
  tmp_ = root_ + "/stmp";
  for (const std::string& dir : {tmp_, shared}) {
    mkdir(dir.c_str(), 0755);
    chmod(dir.c_str(), 01777);
  }
  std::vector<std::pair<std::string, std::string>> top;
  for (int i = 0; i < 40; ++i) top.push_back({"top" + std::to_string(i), "top file " + std::to_string(i)});
  ASSERT_NO_FATAL_FAILURE(writeKit(shared, 400, 2000, top));
  const int entries = int(top.size()) + count_;

  // Every name the wizard uses in the two shared folders, taken first.
  ASSERT_TRUE(as_user(other.uid(), other.gid(), [&] {
    bool all = craft_journal(shared);
    for (int n = 1; n < 6; ++n) all = plant(shared + "/.n8stp" + std::to_string(n), n, root_ + "/private") && all;
    int kind = 0;
    for (const char* name : {"odkAAAAAA", "odkBBBBBB", "odkCCCCCC", "odkDDDDDD", "odkEEEEEE", "n8stp0",
                             "n8stp1", "n8stp2.journal", ".ovn8setup"})
      all = plant(tmp_ + "/" + name, kind++, secret) && all;
    return all;
  }));
  const Tree privateBefore = tree_of(root_ + "/private");
  const Tree tmpPlanted = tree_of(tmp_), sharedPlanted = owned_by(tree_of(shared), other.uid());

  // The temporary names of a run whose process id is known before it runs,
  // taken as well, and raced for while it runs.
  auto runPlanted = [&](const std::string& tag, bool killMidway) {
    int gate[2];
    EXPECT_EQ(pipe(gate), 0);
    const pid_t victim = spawn({"--target=" + shared}, tag, gate[0]);
    close(gate[0]);
    const std::string prefix = shared + "/.n8new" + std::to_string(victim) + "-1-";
    EXPECT_TRUE(as_user(other.uid(), other.gid(), [&] {
      bool all = true;
      for (int i = 0; i < int(top.size()); ++i) all = plant(prefix + std::to_string(i), i, secret) && all;
      return all;
    }));
    const pid_t racer = fork();
    if (racer == 0) {
      become(other.uid(), other.gid());
      for (unsigned round = 0;; ++round) {
        for (int i = 0; i < int(top.size()); ++i) plant(prefix + std::to_string(i), int(round) + i, secret);
        for (int n = 6; n < 12; ++n) plant(shared + "/.n8stp" + std::to_string(n), n + int(round), secret);
        usleep(200);
      }
    }
    EXPECT_EQ(write(gate[1], "go", 1), 1);
    close(gate[1]);
    if (killMidway) {
      EXPECT_TRUE(wait_until([&] { return count_of(testkit::readFile(root_ + "/out" + tag), "\n") >= 150; }, victim));
      kill(victim, SIGKILL);
    }
    const Result result = finish(victim, tag);
    kill(racer, SIGKILL);
    waitpid(racer, nullptr, 0);
    return result;
  };

  EXPECT_EQ(start().err, noKit());
  const Result killed = runPlanted("k", true);
  ASSERT_EQ(killed.status, 1000 + SIGKILL) << killed.err;
  const Result next = start();
  EXPECT_EQ(next.err, kTitle + std::string(kRestored) + shared + "/\n" + noKit());
  const Result installed = runPlanted("i", false);
  EXPECT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(count_of(installed.out, "\n"), entries + 1) << installed.err;

  // Every file of the kit is the victim's own, with the kit's content.
  expectInstalled(shared);
  const Tree now = tree_of(shared);
  for (int i = 0; i < int(top.size()); ++i) {
    EXPECT_EQ(testkit::readFile(shared + "/" + top[i].first), top[i].second);
    struct stat status;
    ASSERT_EQ(lstat((shared + "/" + top[i].first).c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_uid == 0) << now.at(top[i].first);
  }
  // Nothing of the other user's was touched outside the names of the
  // victim's own temporary files, nor anything of the victim's elsewhere.
  auto plantedFirst = [](Tree tree) {
    for (auto it = tree.begin(); it != tree.end();) {
      const std::string first = it->first.substr(0, it->first.find('/'));
      const bool raced = starts_with(first, ".n8new") ||
                         (starts_with(first, ".n8stp") && std::stoi("0" + first.substr(6)) >= 6);
      it = raced ? tree.erase(it) : std::next(it);
    }
    return tree;
  };
  EXPECT_EQ(differences(plantedFirst(sharedPlanted), plantedFirst(owned_by(now, other.uid()))), "");
  // The temporary directory's own time changes with the victim's unpacked kit.
  Tree tmpNow = tree_of(tmp_);
  tmpNow[""] = tmpPlanted.at("");
  // The victim's own private folder, made where the other user had not
  // taken its name, is the victim's to keep.
  const std::string own = "ovn8-" + std::to_string(geteuid());
  if (tmpPlanted.count(own) == 0)
    for (auto it = tmpNow.begin(); it != tmpNow.end();)
      it = it->first == own || starts_with(it->first, own + "/") ? tmpNow.erase(it) : std::next(it);
  EXPECT_EQ(differences(tmpPlanted, tmpNow), "");
  EXPECT_EQ(differences(privateBefore, tree_of(root_ + "/private")), "");
  EXPECT_EQ(owned_by(tree_of(home_), other.uid()), Tree());
  EXPECT_EQ(testkit::readFile(shared + "/.n8stp0/b/top0"), "the other user's top0");
}

}  // namespace
