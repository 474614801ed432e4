// File names full of shell syntax are handled literally: no command runs,
// whatever a name holds.
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_finder.h"
#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

std::atomic<int> g_childSignals{0};
void countChild(int) { ++g_childSignals; }

// Counts SIGCHLD for one scope: any process started and ended meanwhile
// (a shell, a command) shows up here.
class ChildWatch {
 public:
  ChildWatch() {
    g_childSignals = 0;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = countChild;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, &previous_);
  }
  ~ChildWatch() { sigaction(SIGCHLD, &previous_, nullptr); }
  int children() const { return g_childSignals.load(); }

 private:
  struct sigaction previous_;
};

// Runs a function in `directory` as the working directory, where a stray
// "touch marker" would leave its file.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& directory) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) previous_ = buffer;
    ok_ = chdir(directory.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

const std::vector<std::string> kNames = {
    "with blank",       "double\"quote",  "single'quote",   "dollar$HOME",
    "$(touch marker)",  "`touch marker`", "back\\slash\\n", "new\nline",
    "Шаблоны ü 日本 😀", "semi;colon&amp|pipe>out<in", "*?[glob]", "-rf",
};

// Every marker a shell would have made, anywhere it could land.
std::vector<std::string> markersIn(const ScratchDir& dir) {
  std::vector<std::string> found;
  for (const std::string& candidate : {dir / "marker", dir / "out"}) {
    if (exists(candidate)) found.push_back(candidate);
  }
  return found;
}

void handleEveryNameLiterally(const ScratchDir& dir) {
  for (const std::string& name : kNames) {
    SCOPED_TRACE(name);
    std::string folder = dir / name;
    std::string nested = folder + "/" + name + "/" + name;
    ASSERT_EQ(0u, FileSystem::CreateDirectory(wide(nested)));
    ASSERT_TRUE(isDir(nested));

    std::string file = nested + "/" + name;
    HANDLE h = INVALID_HANDLE_VALUE;
    ASSERT_EQ(0u, FileSystem::CreateFile(wide(file), GENERIC_WRITE, 0, CREATE_ALWAYS, h));
    uint32_t written = 0;
    ASSERT_EQ(0u, FileSystem::WriteFile(h, name.data(), static_cast<uint32_t>(name.size()),
                                        &written, nullptr));
    ASSERT_EQ(0u, FileSystem::CloseHandle(h));

    FileFinder finder;
    EXPECT_TRUE(finder.reset(wide(file)));
    EXPECT_EQ(wide(name), finder.name());

    std::string moved = folder + "/" + name + ".moved";
    ASSERT_EQ(0u, FileSystem::MoveFile(wide(file), wide(moved)));
    EXPECT_FALSE(exists(file));
    EXPECT_EQ(name, readText(moved));

    std::u16string temporary;
    ASSERT_EQ(0u, FileSystem::GetTempFileName(wide(nested), wide(name), temporary));
    EXPECT_EQ(0u, temporary.find(wide(nested + "/")));
    EXPECT_TRUE(exists(utf16_to_utf8(temporary)));

    EXPECT_EQ(0u, FileSystem::DeleteFile(wide(moved)));
    EXPECT_FALSE(exists(moved));
    EXPECT_EQ(0u, FileSystem::RemoveDirectory(wide(folder)));
    EXPECT_FALSE(exists(folder));
  }
}

TEST(FileSystemNames, ShellSyntaxInNamesIsNeverRun) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  WorkingDirectory cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  ChildWatch watch;

  handleEveryNameLiterally(dir);
  EXPECT_EQ(std::vector<std::string>(), markersIn(dir));
  EXPECT_EQ(0, watch.children()) << "a process was started";

  // With no commands to be found at all, everything still works.
  ScratchDir noCommands;
  EnvGuard path("PATH", noCommands.path().c_str());
  handleEveryNameLiterally(dir);
  EXPECT_EQ(std::vector<std::string>(), markersIn(dir));
  EXPECT_EQ(0, watch.children());

  // Nothing is left behind: the scratch folder is empty again.
  FileFinder finder;
  int entries = 0;
  for (bool found = finder.reset(wide(dir.path() + "/*")); found; found = finder.next())
    entries += finder.name() != u"." && finder.name() != u"..";
  EXPECT_EQ(0, entries);
}

TEST(FileSystemNames, ShellSyntaxSurvivesAMoveAcrossFileSystems) {
  ScratchDir dir;
  ScratchDir other("/dev/shm");
  struct stat a, b;
  if (!other.ok() || stat(dir.path().c_str(), &a) != 0 || stat(other.path().c_str(), &b) != 0 ||
      a.st_dev == b.st_dev)
    GTEST_SKIP() << "needs /dev/shm on a file system other than /tmp; single file system here";
  WorkingDirectory cwd(dir.path());
  ChildWatch watch;
  for (const std::string& name : kNames) {
    ASSERT_TRUE(writeText(dir / name, name));
    ASSERT_EQ(0u, FileSystem::MoveFile(wide(dir / name), wide(other / name)));
    EXPECT_EQ(name, readText(other / name));
    EXPECT_FALSE(exists(dir / name));
  }
  EXPECT_EQ(std::vector<std::string>(), markersIn(dir));
  EXPECT_EQ(0, watch.children());
}

}  // namespace
