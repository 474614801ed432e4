#include "platform/power_loss.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_finder.h"
#include "platform/file_op_name.h"
#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

typedef std::map<std::string, std::string> View;

const int kCutStatus = 77;

// Every node below `root`, read with plain POSIX calls: "dir", "link
// <target>", or the file's content with " (2 links)" when it has two names.
void viewInto(const std::string& root, const std::string& relative, View& view) {
  for (const std::string& name : testkit::entryNames(root + "/" + relative)) {
    const std::string key = relative.empty() ? name : relative + "/" + name;
    const std::string path = root + "/" + key;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      view[key] = "dir";
      viewInto(root, key, view);
    } else if (S_ISLNK(status.st_mode)) {
      char target[256];
      const ssize_t size = readlink(path.c_str(), target, sizeof target);
      view[key] = "link " + std::string(target, size > 0 ? size_t(size) : 0);
    } else {
      view[key] = readText(path);
      if (status.st_nlink > 1) view[key] += " (" + std::to_string(status.st_nlink) + " links)";
    }
  }
}

View viewOf(const std::string& root) {
  View view;
  viewInto(root, "", view);
  return view;
}

// Modes and modification times of every node, to the nanosecond.
std::map<std::string, std::string> statusesOf(const std::string& root) {
  std::map<std::string, std::string> statuses;
  statuses["."] = "";
  for (const auto& node : viewOf(root)) statuses[node.first] = "";
  for (auto& node : statuses) {
    struct stat status;
    lstat((root + "/" + node.first).c_str(), &status);
    node.second = std::to_string(status.st_mode) + " " + std::to_string(status.st_mtim.tv_sec) +
                  "." + std::to_string(status.st_mtim.tv_nsec);
  }
  return statuses;
}

class PowerLossTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    root_ = dir_ / "root";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
  }

  std::u16string at(const std::string& name) const { return wide(root_ + "/" + name); }
  std::string path(const std::string& name) const { return root_ + "/" + name; }

  // Makes `name` hold `text` through the file layer; its data is synced
  // only with `sync`.
  void put(const std::string& name, const std::string& text, bool sync) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ASSERT_EQ(0u, FileSystem::CreateFile(at(name), GENERIC_WRITE, 0, CREATE_ALWAYS, handle));
    uint32_t written = 0;
    EXPECT_EQ(0u, FileSystem::SetEndOfFile(handle));
    EXPECT_EQ(0u, FileSystem::WriteFile(handle, text.data(), uint32_t(text.size()), &written,
                                        nullptr));
    if (sync) {
      EXPECT_EQ(0u, FileSystem::FlushFileBuffers(handle));
    }
    EXPECT_EQ(0u, FileSystem::CloseHandle(handle));
  }

  // A file made with plain POSIX calls before the simulator starts.
  void made(const std::string& name, const std::string& text) {
    ASSERT_TRUE(writeText(path(name), text)) << name;
  }

  ScratchDir dir_;
  std::string root_;
};

TEST_F(PowerLossTest, DataIsOnTheMediumAsOfItsLastSync) {
  made("a", "start");
  made("b", "start");
  PowerLoss loss({root_});
  put("a", "synced", true);
  put("a", "written later", false);
  put("b", "never synced", false);
  // A new name on the medium whose data never was: an empty file.
  put("c", "never synced", false);
  ASSERT_EQ(0u, FileSystem::FlushDirectory(wide(root_)));
  loss.cut();
  EXPECT_EQ((View{{"a", "synced"}, {"b", "start"}, {"c", ""}}), viewOf(root_));
}

TEST_F(PowerLossTest, ASyncedFileNeedsItsFolderSyncedToBeFound) {
  ASSERT_EQ(0, mkdir(path("sub").c_str(), 0755));
  PowerLoss loss({root_});
  put("sub/f", "data", true);
  loss.cut();
  EXPECT_EQ((View{{"sub", "dir"}}), viewOf(root_));

  put("sub/f", "data", true);
  ASSERT_EQ(0u, FileSystem::FlushDirectory(at("sub")));
  loss.cut();
  EXPECT_EQ((View{{"sub", "dir"}, {"sub/f", "data"}}), viewOf(root_));
}

TEST_F(PowerLossTest, RenamesAndDeletionsWithoutAFolderSyncAreUndone) {
  ASSERT_EQ(0, mkdir(path("sub").c_str(), 0755));
  made("a", "A");
  made("b", "B");
  made("sub/c", "C");
  symlink("a", path("link").c_str());
  PowerLoss loss({root_});
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("a"), at("sub/moved"), 0));
  ASSERT_EQ(0u, FileSystem::DeleteFile(at("b")));
  ASSERT_EQ(0u, FileSystem::DeleteFile(at("link")));
  // A new file, synced, may get a deleted file's inode number: it is
  // another file all the same.
  put("new", "N", true);
  put("replacement", "R", true);
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("replacement"), at("sub/c"), MOVEFILE_REPLACE_EXISTING));
  ASSERT_EQ(0u, FileSystem::RemoveDirectory(at("sub")));
  loss.cut();
  EXPECT_EQ((View{{"a", "A"}, {"b", "B"}, {"link", "link a"}, {"sub", "dir"}, {"sub/c", "C"}}),
            viewOf(root_));
}

TEST_F(PowerLossTest, AFolderSyncMakesItsRenamesAndDeletionsDurable) {
  for (const char* folder : {"from", "to", "src", "dst"})
    ASSERT_EQ(0, mkdir(path(folder).c_str(), 0755));
  made("a", "A");
  made("b", "B");
  made("from/c", "C");
  made("src/d", "D");
  PowerLoss loss({root_});
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("a"), at("a2"), 0));
  ASSERT_EQ(0u, FileSystem::DeleteFile(at("b")));
  ASSERT_EQ(0u, FileSystem::FlushDirectory(wide(root_)));
  // Between folders only the synced side of a rename is on the medium: the
  // file has both names, or none.
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("from/c"), at("to/c"), 0));
  ASSERT_EQ(0u, FileSystem::FlushDirectory(at("to")));
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("src/d"), at("dst/d"), 0));
  ASSERT_EQ(0u, FileSystem::FlushDirectory(at("src")));
  loss.cut();
  EXPECT_EQ((View{{"a2", "A"},
                  {"dst", "dir"},
                  {"from", "dir"},
                  {"from/c", "C (2 links)"},
                  {"src", "dir"},
                  {"to", "dir"},
                  {"to/c", "C (2 links)"}}),
            viewOf(root_));
}

TEST_F(PowerLossTest, FileSystemSyncMakesEverythingDurableWithModesAndTimes) {
  ASSERT_EQ(0, mkdir(path("sub").c_str(), 0755));
  made("a", "A");
  made("sub/b", "B");
  PowerLoss loss({root_});
  put("a", "written", false);
  ASSERT_EQ(0u, FileSystem::CreateDirectory(at("n1/n2")));
  put("n1/n2/f", "deep", false);
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("sub/b"), at("n1/b"), 0));
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, FileSystem::CreateFile(at("a"), GENERIC_WRITE, 0, OPEN_EXISTING, handle));
  ASSERT_EQ(0u, FileSystem::SetFileMode(handle, 0640));
  FileSystem::CloseHandle(handle);
  ASSERT_EQ(0u, FileSystem::SetPathTimes(at("sub"), FileTimes{5, 6, 7, 8}));
  const View synced = viewOf(root_);
  const auto statuses = statusesOf(root_);
  ASSERT_EQ(0u, FileSystem::FlushFileSystem(wide(root_)));
  put("a", "later", false);
  ASSERT_EQ(0u, FileSystem::SetPathTimes(at("n1"), FileTimes{1, 2, 3, 4}));
  ASSERT_EQ(0u, FileSystem::DeleteFile(at("n1/b")));
  loss.cut();
  EXPECT_EQ(synced, viewOf(root_));
  EXPECT_EQ(statuses, statusesOf(root_));
}

// The way originals are kept: a second name in another folder, synced,
// then a new file renamed over the first name.
TEST_F(PowerLossTest, HardLinksComeBackAsOneFile) {
  ASSERT_EQ(0, mkdir(path("keep").c_str(), 0755));
  made("a", "original");
  PowerLoss loss({root_});
  ASSERT_EQ(0u, FileSystem::CreateHardLink(at("a"), at("keep/a")));
  ASSERT_EQ(0u, FileSystem::FlushDirectory(at("keep")));
  put("new", "new", true);
  ASSERT_EQ(0u, FileSystem::MoveFileEx(at("new"), at("a"), MOVEFILE_REPLACE_EXISTING));
  loss.cut();
  struct stat first, second;
  ASSERT_EQ(0, lstat(path("a").c_str(), &first));
  ASSERT_EQ(0, lstat(path("keep/a").c_str(), &second));
  EXPECT_EQ(first.st_ino, second.st_ino);
  EXPECT_EQ((View{{"a", "original (2 links)"}, {"keep", "dir"}, {"keep/a", "original (2 links)"}}),
            viewOf(root_));

  // Data synced through one name is the data of both (the picture starts
  // again from what the cut left).
  put("keep/a", "changed", true);
  loss.cut();
  EXPECT_EQ("changed (2 links)", viewOf(root_)["a"]);
}

TEST_F(PowerLossTest, AFolderNeverSyncedIsGoneWithWhatItHeld) {
  PowerLoss loss({root_});
  // A folder whose name is on the medium but whose listing is not: empty.
  ASSERT_EQ(0u, FileSystem::CreateDirectory(at("kept/inner")));
  ASSERT_EQ(0u, FileSystem::FlushDirectory(wide(root_)));
  ASSERT_EQ(0u, FileSystem::CreateOneDirectory(at("lost"), 0755));
  put("lost/f", "data", true);
  ASSERT_EQ(0u, FileSystem::FlushDirectory(at("lost")));
  loss.cut();
  EXPECT_EQ((View{{"kept", "dir"}}), viewOf(root_));
}

TEST_F(PowerLossTest, ListingsAreOperationsAndShowTheMediumAfterACut) {
  made("kept", "k");
  PowerLoss loss({root_});
  put("new", "n", true);  // its data synced, its name not
  const uint64_t before = loss.count();
  EXPECT_TRUE(file_exists(at("new")));
  // A listing is one operation the power can fail before, like any other.
  EXPECT_EQ(before + 1, loss.count());
  loss.cut();
  EXPECT_FALSE(file_exists(at("new")));
  EXPECT_TRUE(file_exists(at("kept")));
}

// A short script, cut before each of its operations in a child process; what
// the cut leaves must be the state written out below for the syncs that ran.
class ScriptedCutTest : public PowerLossTest {
 protected:
  void reset() {
    for (const std::string& name : testkit::entryNames(root_)) testkit::removeTree(path(name));
    ASSERT_EQ(0, mkdir(path("d").c_str(), 0755));
    made("a", "a0");
    made("d/b", "b0");
  }

  void script() {
    put("a", "a1", true);
    put("d/c", "c1", true);
    FileSystem::FlushDirectory(at("d"));
    FileSystem::CreateOneDirectory(at("n"), 0755);
    FileSystem::MoveFileEx(at("d/b"), at("n/b"), 0);
    FileSystem::FlushDirectory(at("n"));
    FileSystem::FlushDirectory(wide(root_));
    FileSystem::FlushDirectory(at("d"));
    FileSystem::DeleteFile(at("a"));
    put("a", "a2", false);
    FileSystem::FlushDirectory(wide(root_));
    put("a", "a3", true);
    put("d/c", "c2", false);
    FileSystem::FlushFileSystem(wide(root_));
    FileSystem::DeleteFile(at("d/c"));
  }

  // The medium after each sync of the script, in order, from the start:
  // each sync's changes to it ("" for a name gone, "empty" for an empty
  // file).
  std::vector<View> expected() const {
    const std::vector<View> changes = {
        {{"a", "a1"}},
        {},
        {{"d/c", "c1"}},
        {},
        {{"n", "dir"}, {"n/b", "b0 (2 links)"}, {"d/b", "b0 (2 links)"}},
        {{"d/b", ""}, {"n/b", "b0"}},
        {{"a", "empty"}},
        {{"a", "a3"}},
        {{"d/c", "c2"}},
    };
    std::vector<View> states = {{{"a", "a0"}, {"d", "dir"}, {"d/b", "b0"}}};
    for (const View& change : changes) {
      View state = states.back();
      for (const auto& node : change) {
        if (node.second.empty())
          state.erase(node.first);
        else
          state[node.first] = node.second == "empty" ? "" : node.second;
      }
      states.push_back(state);
    }
    return states;
  }

  // Syncs among the first `count` operations of the script.
  static size_t syncsAmong(const std::vector<FileOp>& ops, uint64_t count) {
    size_t syncs = 0;
    for (uint64_t i = 0; i < count && i < ops.size(); ++i)
      syncs += ops[i] == FileOp::FlushFileBuffers || ops[i] == FileOp::FlushDirectory ||
               ops[i] == FileOp::FlushFileSystem;
    return syncs;
  }
};

TEST_F(ScriptedCutTest, CutBeforeEveryOperationLeavesTheSyncedState) {
  std::vector<FileOp> ops;
  reset();
  FileSystem::SetFaultHook(
      [](FileOp op, const std::u16string&, void* context) -> uint32_t {
        static_cast<std::vector<FileOp>*>(context)->push_back(op);
        return 0;
      },
      &ops);
  script();
  FileSystem::SetFaultHook(nullptr, nullptr);
  const std::vector<View> states = expected();
  ASSERT_EQ(states.size() - 1, syncsAmong(ops, ops.size()));
  uint64_t k = 1;
  for (;; ++k) {
    reset();
    const pid_t child = fork();
    if (child == 0) {
      PowerLoss loss({root_}, k, kCutStatus);
      script();
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) break;
    ASSERT_EQ(kCutStatus, WEXITSTATUS(status));
    EXPECT_EQ(states[syncsAmong(ops, k - 1)], viewOf(root_))
        << "cut before operation " << k << " (" << file_op_name(ops[k - 1]) << ")";
  }
  EXPECT_EQ(ops.size() + 1, k);
}

}  // namespace
