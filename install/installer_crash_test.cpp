// Crash sweeps: one installation into a populated template directory, run
// in a child process that dies (as by SIGKILL) at its k-th file operation,
// for every k until a run completes; after each death a start's recovery
// must give back the directory as it was before the run or, after the
// commit, the whole installed tree, never a mix, and leave nothing behind.
// Recovery itself is swept the same way. An ordering test reads the trace of
// a clean run's operations against what the journal held on disk.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <set>

#include "install/crash_sweep_fixture.h"
#include "install/installer.h"
#include "install/journal_file.h"
#include "install/recovery.h"
#include "platform/file_fault_injector.h"

using namespace install_test;

namespace {

// One file operation of a clean run, with what the journal on disk held
// when it was asked for.
struct TracedOp {
  FileOp op;
  std::u16string path;
  bool committed;
};

class CrashSweepTest : public CrashSweepFixture {};

TEST_P(CrashSweepTest, DeathAtEveryOperationIsRecoveredWhole) {
  uint64_t rolledBack = 0, stood = 0, told = 0;
  uint64_t k = 1;
  for (;; ++k) {
    populateTemplate(scene.templateDir());
    const std::string context = "death at operation " + std::to_string(k);
    if (!runDyingAt(k, [&] { install(); })) {
      EXPECT_EQ("", differences(installed, installedView(scene.templateDir()))) << context;
      expectNothingLeft(context);
      break;
    }
    for (const RecoveryNotice& notice : recover_stopped_installations()) {
      EXPECT_EQ(RecoveryNotice::Kind::kRestored, notice.kind) << context;
      EXPECT_TRUE(notice.paths.empty()) << context;
      ++told;
    }
    expectRecoveredWhole(context, rolledBack, stood);
    if (HasFailure()) break;
  }
  std::printf("crash sweep: %llu deaths, %llu rolled back (%llu told), %llu stood\n",
              (unsigned long long)(k - 1), (unsigned long long)rolledBack,
              (unsigned long long)told, (unsigned long long)stood);
  EXPECT_GT(rolledBack, 100u);
  EXPECT_GT(stood, 0u);
  EXPECT_LE(told, rolledBack);
}

// A run killed in the middle (originals in the backup folder, new files in
// place, new folders made) and one killed after its commit; the recovery of
// each is then killed at its every operation, and the next start's recovery
// must still give the whole state.
TEST_P(CrashSweepTest, DeathDuringRecoveryIsRecoveredAtTheNextStart) {
  // A whole run's operations, counted in this process, and the first one
  // after the commit: the deletion of the backup folder.
  std::vector<std::pair<FileOp, std::u16string>> ops;
  populateTemplate(scene.templateDir());
  FileSystem::SetFaultHook(
      [](FileOp op, const std::u16string& path, void* context) -> uint32_t {
        static_cast<std::vector<std::pair<FileOp, std::u16string>>*>(context)->push_back({op, path});
        return 0;
      },
      &ops);
  install();
  FileSystem::SetFaultHook(nullptr, nullptr);
  const uint64_t total = ops.size();
  uint64_t afterCommit = 0;
  for (uint64_t i = 0; i < total && afterCommit == 0; ++i)
    if (ops[i].first == FileOp::RemoveDirectory && ops[i].second.find(u"n8stp") != std::u16string::npos)
      afterCommit = i + 1;
  ASSERT_GT(total, 100u);
  ASSERT_GT(afterCommit, total / 2);
  uint64_t sweeps = 0;
  for (const uint64_t runDeath : {total * 2 / 3, afterCommit}) {
    uint64_t j = 1;
    for (;; ++j) {
      populateTemplate(scene.templateDir());
      const std::string context = "run died at " + std::to_string(runDeath) +
                                  ", recovery at " + std::to_string(j);
      ASSERT_TRUE(runDyingAt(runDeath, [&] { install(); })) << context;
      const bool recoveryDied = runDyingAt(j, [] { recover_stopped_installations(); });
      recover_stopped_installations();
      expectWholeState(runDeath == afterCommit, context);
      expectNothingLeft(context);
      if (HasFailure() || !recoveryDied) break;
    }
    sweeps += j - 1;
    std::printf("recovery sweep after death at %llu of %llu: %llu deaths\n",
                (unsigned long long)runDeath, (unsigned long long)total,
                (unsigned long long)(j - 1));
    EXPECT_GT(j, 10u);
  }
  EXPECT_GT(sweeps, 20u);
}

// Reads, at every operation of a clean run, what the journal on disk holds
// (it is synced by the operation before), and checks each step against it.
class OrderWatch {
 public:
  explicit OrderWatch(const std::u16string& target) : target_(target) {
    // Reading the journal goes through the file layer too.
    watch_.answering([this](FileOp op, const std::u16string& path) {
      if (inside_) return 0u;
      inside_ = true;
      check(op, path);
      inside_ = false;
      return 0u;
    });
  }

  std::vector<std::string> faults;
  uint64_t checkedMoves = 0, checkedWrites = 0, checkedRemovals = 0, checkedFolders = 0;
  bool sawCommit = false;

 private:
  bool isJournal(const std::u16string& path) const {
    return path.size() > 8 && path.compare(path.size() - 8, 8, u"/journal") == 0;
  }

  std::string n(const std::u16string& path) const { return narrow_lib(path); }

  void check(FileOp op, const std::u16string& path) {
    // The previous operation synced the journal: what it holds now is on disk.
    if (lastWasJournalSync_) refresh();
    lastWasJournalSync_ = op == FileOp::FlushFileBuffers && isJournal(path);
    if (lastWasJournalSync_) journal_ = path;
    if (op == FileOp::FlushFileSystem) syncedAfterLastInstall_ = true;
    // The hidden backup folder lies in the target but is not part of it.
    const bool inTarget = path.compare(0, target_.size(), target_) == 0 &&
                          path.find(u"/.n8stp") == std::u16string::npos;
    // A folder the run makes may be made under a staging name first: what
    // lies in it is journaled under the folder's own name.
    const std::u16string journaled = unstaged(path);
    const bool staged = journaled != path;
    const bool temporary = journaled.find(u"/.n8new") != std::u16string::npos;
    if (op == FileOp::CreateFile && inTarget && (temporary || staged)) {
      ++checkedWrites;
      const bool named_ = named(durable_.temporaries, journaled) || (!temporary && named(durable_.added, journaled));
      if (!named_) faults.push_back("wrote unjournaled " + n(path));
    }
    if ((op == FileOp::MoveFileEx || op == FileOp::CreateHardLink) && inTarget && !temporary && !staged) {
      // An original moves into the backup folder, or gets a second name there.
      ++checkedMoves;
      if (!named(durable_.kept, path)) faults.push_back("kept unjournaled " + n(path));
    }
    if (op == FileOp::MoveFileEx && inTarget && (temporary || staged)) {
      // A new file, or a folder made under a staging name, takes its place.
      ++checkedMoves;
      syncedAfterLastInstall_ = false;
      const bool named_ = temporary ? named(durable_.temporaries, journaled) : named(durable_.createdDirectories, journaled);
      if (!named_) faults.push_back("renamed unjournaled " + n(path));
    }
    // The run makes its folders one level at a time.
    if (op == FileOp::CreateOneDirectory && inTarget) {
      ++checkedFolders;
      if (!named(durable_.createdDirectories, journaled)) faults.push_back("made unjournaled folder " + n(path));
    }
    const bool backup = path.find(u"n8stp") != std::u16string::npos;
    if ((op == FileOp::RemoveDirectory || op == FileOp::DeleteFile) && backup) {
      ++checkedRemovals;
      if (!durable_.committed) faults.push_back("backup removed before the commit: " + n(path));
    }
  }

  // `path` with a staging folder the journal names replaced by its folder.
  std::u16string unstaged(const std::u16string& path) const {
    for (const auto& staged : durable_.stagedDirectories) {
      const std::u16string parent = staged.first.substr(0, staged.first.rfind(u'/') + 1);
      const std::u16string staging = target_ + parent + staged.second;
      if (path.compare(0, staging.size(), staging) == 0 && (path.size() == staging.size() || path[staging.size()] == u'/'))
        return target_ + staged.first + path.substr(staging.size());
    }
    return path;
  }

  bool named(const std::vector<std::u16string>& keys, const std::u16string& path) const {
    for (const std::u16string& key : keys)
      if (target_ + key == path) return true;
    return false;
  }

  void refresh() {
    JournalContents contents;
    if (read_journal(journal_, contents) != ERROR_SUCCESS) return;
    if (contents.committed && !durable_.committed) {
      sawCommit = true;
      if (!syncedAfterLastInstall_) faults.push_back("committed before the files were synced");
    }
    durable_ = contents;
  }

  std::u16string target_;
  std::u16string journal_;
  JournalContents durable_;
  bool inside_ = false;
  bool lastWasJournalSync_ = false;
  bool syncedAfterLastInstall_ = false;
  FileFaultInjector watch_;
};

TEST_P(CrashSweepTest, EveryStepWaitsForTheJournalOnDisk) {
  populateTemplate(scene.templateDir());
  std::vector<std::string> faults;
  uint64_t moves = 0, writes = 0, removals = 0, folders = 0;
  bool sawCommit = false;
  {
    OrderWatch watch(widen_lib(given_ + "/"));
    ASSERT_EQ(0u, install());
    faults = watch.faults;
    moves = watch.checkedMoves;
    writes = watch.checkedWrites;
    removals = watch.checkedRemovals;
    folders = watch.checkedFolders;
    sawCommit = watch.sawCommit;
  }
  for (const std::string& fault : faults) ADD_FAILURE() << fault;
  EXPECT_TRUE(sawCommit);
  EXPECT_GT(moves, 15u);
  EXPECT_GT(writes, 15u);
  EXPECT_GT(removals, 0u);
  EXPECT_GT(folders, 0u);
}

INSTANTIATE_TEST_SUITE_P(Target, CrashSweepTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "ThroughALink" : "Given";
                         });

}  // namespace
