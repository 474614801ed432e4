// The writer replaces the file as a whole or not at all.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_writer.h"
#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"
#include "platform/file_op_name.h"
#include "platform/text.h"
#include "platform/owned_leftovers.h"
#include "platform/stop_signals.h"

namespace {

const char kOldContents[] = "Old=settings\nConfigurationTemplatesLocation=/srv/old\n";

class ConfigWriteTest : public testing::Test {
 protected:
  ConfigWriteTest() : dir_(home_ / "cfg"), path_(dir_ + "/ovanstart.cfg") {
    write_bytes(path_, kOldContents);
    chmod(path_.c_str(), 0640);
    for (int i = 0; i < 3; ++i) {
      config_.addValue(u"Key" + std::u16string(1, u'0' + i), u"a fairly long value number " +
                                                                 std::u16string(1, u'0' + i));
    }
  }

  mode_t modeOf(const std::string& path) {
    struct stat status;
    EXPECT_EQ(0, stat(path.c_str(), &status));
    return status.st_mode & 07777;
  }

  // The thrown integer, or 0 when the write succeeded.
  int writeCatching() {
    try {
      write_config_file(wide(path_), config_);
    } catch (int error) {
      return error;
    }
    return 0;
  }

  TemporaryHome home_;
  std::string dir_;
  std::string path_;
  ConfigFile config_;
};

const char kNewContents[] =
    "Key0=a fairly long value number 0\n"
    "Key1=a fairly long value number 1\n"
    "Key2=a fairly long value number 2\n";

TEST_F(ConfigWriteTest, ReplacesTheFileKeepingItsPermissionsAndNoTemporaryFile) {
  EXPECT_EQ(0, writeCatching());
  EXPECT_EQ(kNewContents, read_bytes(path_));
  EXPECT_EQ(0640u, modeOf(path_));
  EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
}

// A file that already holds these lines is left alone: same inode, same
// time, nothing written; a dry run tells what would change and writes
// nothing either.
TEST_F(ConfigWriteTest, AFileThatAlreadyHoldsTheLinesIsNotRewritten) {
  const ConfigWriteResult wouldChange = save_config_file(wide(path_), config_, true);
  EXPECT_TRUE(wouldChange.ok());
  EXPECT_TRUE(wouldChange.changed);
  EXPECT_EQ(kOldContents, read_bytes(path_));
  ASSERT_TRUE(save_config_file(wide(path_), config_).changed);
  struct stat before = {};
  ASSERT_EQ(0, stat(path_.c_str(), &before));
  // Far in the past: a rewrite would be seen at once.
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path_.c_str(), old, 0));
  const ConfigWriteResult again = save_config_file(wide(path_), config_);
  EXPECT_TRUE(again.ok());
  EXPECT_FALSE(again.changed);
  EXPECT_FALSE(save_config_file(wide(path_), config_, true).changed);
  struct stat after = {};
  ASSERT_EQ(0, stat(path_.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(1000000000, after.st_mtim.tv_sec);
  // One byte more in the file: it no longer holds exactly these lines.
  write_bytes(path_, std::string(kNewContents) + "\n");
  EXPECT_TRUE(save_config_file(wide(path_), config_).changed);
  EXPECT_EQ(kNewContents, read_bytes(path_));
}

TEST_F(ConfigWriteTest, NewFileGetsTheModeOfTheUmaskOrTheUsualOneWhenItCannotBeTold) {
  const mode_t old = umask(027);
  write_config_file(wide(dir_ + "/new.cfg"), config_);
  {
    // The umask is read from the process's status file, through the file
    // layer: when that fails the usual 022 is taken.
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.below(u"/proc");
    write_config_file(wide(dir_ + "/unknown.cfg"), config_);
    EXPECT_TRUE(fault.fired());
  }
  umask(old);
  EXPECT_EQ(0640u, modeOf(dir_ + "/new.cfg"));
  EXPECT_EQ(0644u, modeOf(dir_ + "/unknown.cfg"));
}

TEST_F(ConfigWriteTest, WritesThroughALinkToTheLinkedFile) {
  const std::string link = dir_ + "/link.cfg";
  ASSERT_EQ(0, symlink(path_.c_str(), link.c_str()));
  write_config_file(wide(link), config_);
  struct stat status;
  ASSERT_EQ(0, lstat(link.c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(kNewContents, read_bytes(path_));
}

// A link whose file does not exist yet (a dotfiles manager's link, say)
// stays a link: the file is made where it points, through a chain of links
// and relative ones too.
TEST_F(ConfigWriteTest, ADanglingLinkStaysALinkAndItsFileIsMade) {
  ASSERT_EQ(0, mkdir((dir_ + "/store").c_str(), 0755));
  const std::string link = dir_ + "/dangling.cfg", middle = dir_ + "/middle.cfg";
  ASSERT_EQ(0, symlink("middle.cfg", link.c_str()));
  ASSERT_EQ(0, symlink((dir_ + "/store/real.cfg").c_str(), middle.c_str()));
  write_config_file(wide(link), config_);
  struct stat status;
  ASSERT_EQ(0, lstat(link.c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  ASSERT_EQ(0, lstat(middle.c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(kNewContents, read_bytes(dir_ + "/store/real.cfg"));
  EXPECT_EQ(kNewContents, read_bytes(link));
  // A link that cannot be read is replaced by the file, as it was before;
  // a loop of links is refused.
  const std::string unreadable = dir_ + "/unreadable.cfg";
  ASSERT_EQ(0, symlink("store/other.cfg", unreadable.c_str()));
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::ReadLink});
    write_config_file(wide(unreadable), config_);
    EXPECT_TRUE(fault.fired());
  }
  ASSERT_EQ(0, lstat(unreadable.c_str(), &status));
  EXPECT_TRUE(S_ISREG(status.st_mode));
  const std::string loop = dir_ + "/loop.cfg";
  ASSERT_EQ(0, symlink("loop.cfg", loop.c_str()));
  EXPECT_THROW(write_config_file(wide(loop), config_), int);
  ASSERT_EQ(0, lstat(loop.c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST_F(ConfigWriteTest, FailureHalfWayLeavesTheOldFileByteForByte) {
  {
    // Disk full at the second line: the temporary file holds one line.
    FileFaultInjector fault(2, setLastErrorByErrNo(ENOSPC));
    fault.only({FileOp::WriteFile});
    EXPECT_EQ(2, writeCatching());
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_EQ(kOldContents, read_bytes(path_));
  EXPECT_EQ(0640u, modeOf(path_));
  EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
}

// The result carries the file layer's own error and the step; the
// throwing form keeps its two integers.
TEST_F(ConfigWriteTest, SaveReturnsTheInjectedErrorAndWriteStillThrowsOneOrTwo) {
  struct Case {
    FileOp op;
    uint32_t error;
    int code;
  };
  for (const Case& failing : {Case{FileOp::WriteFile, ERROR_DISK_FULL, kConfigCannotWrite},
                              Case{FileOp::MoveFile, ERROR_ACCESS_DENIED, kConfigCannotCreate},
                              Case{FileOp::GetFileStatus, system_error(EIO), kConfigCannotCreate}}) {
    SCOPED_TRACE(testing::Message() << "error " << failing.error);
    {
      FileFaultInjector fault(1, failing.error);
      fault.only({failing.op});
      const ConfigWriteResult result = save_config_file(wide(path_), config_);
      EXPECT_TRUE(fault.fired());
      EXPECT_FALSE(result.ok());
      EXPECT_EQ(failing.error, result.error);
      EXPECT_EQ(failing.code, result.code);
      EXPECT_FALSE(result.step.empty());
    }
    FileFaultInjector fault(1, failing.error);
    fault.only({failing.op});
    EXPECT_EQ(failing.code, writeCatching());
    EXPECT_EQ(kOldContents, read_bytes(path_));
    EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
  }
  const ConfigWriteResult saved = save_config_file(wide(path_), config_);
  EXPECT_TRUE(saved.ok());
  EXPECT_EQ(0u, saved.error);
  EXPECT_EQ(kNewContents, read_bytes(path_));
}

// Fails the k-th file operation (0: none) with EACCES and counts them, on
// a file system that can or cannot make unnamed files.
struct Sweep {
  uint64_t failAt;
  bool unnamedFiles;
  uint64_t count = 0;
  bool fired = false;
  // The file itself: the look at its old bytes (is a rewrite needed at
  // all?) opens, reads and closes it before anything is written.
  std::u16string file;
  bool inLook = false;
  FileOp firedOn = FileOp::CreateFile;
  std::u16string firedPath;

  static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
    Sweep& sweep = *static_cast<Sweep*>(context);
    if (op == FileOp::CreateUnnamedFile && !sweep.unnamedFiles) return ERROR_NOT_SUPPORTED;
    if (++sweep.count != sweep.failAt) return 0;
    sweep.fired = true;
    sweep.firedOn = op;
    sweep.firedPath = path;
    sweep.inLook = path == sweep.file && (op == FileOp::CreateFile || op == FileOp::ReadFile ||
                                          op == FileOp::CloseHandle);
    return ERROR_ACCESS_DENIED;
  }
};

// Every file operation of the writer failed once in turn: each failure
// throws 1 or 2, and the old file and its directory stay exactly as they were.
// Only the sync of the directory after the rename cannot undo the rename:
// the new file stands and the write reports success.
TEST_F(ConfigWriteTest, EveryFailingOperationLeavesTheOldFile) {
  for (bool unnamedFiles : {true, false}) {
    SCOPED_TRACE(unnamedFiles ? "unnamed files" : "no unnamed files");
    write_bytes(path_, kOldContents);
    Sweep count{0, unnamedFiles, 0, false, wide(path_), false, FileOp::CreateFile, u""};
    FileSystem::SetFaultHook(&Sweep::hook, &count);
    ASSERT_EQ(0, writeCatching());
    FileSystem::SetFaultHook(nullptr, nullptr);
    write_bytes(path_, kOldContents);
    uint64_t k = 1;
    for (;; ++k) {
      SCOPED_TRACE(testing::Message() << "failing operation " << k);
      Sweep sweep{k, unnamedFiles, 0, false, wide(path_), false, FileOp::CreateFile, u""};
      FileSystem::SetFaultHook(&Sweep::hook, &sweep);
      const int result = writeCatching();
      FileSystem::SetFaultHook(nullptr, nullptr);
      if (!sweep.fired) break;
      // A look at the old bytes that fails only means the file is written.
      SCOPED_TRACE(file_op_name(sweep.firedOn) + std::string(" ") + narrow_lib(sweep.firedPath));
      if (sweep.inLook) {
        EXPECT_EQ(0, result);
        EXPECT_EQ(kNewContents, read_bytes(path_));
        write_bytes(path_, kOldContents);
        continue;
      }
      // The last two come after the rename: closing the replacement, which
      // stays open and locked until it has its name, and syncing the listing.
      if (k >= count.count - 1) {
        EXPECT_EQ(0, result);
        EXPECT_EQ(kNewContents, read_bytes(path_));
        write_bytes(path_, kOldContents);
        continue;
      }
      EXPECT_TRUE(result == 1 || result == 2) << result;
      EXPECT_EQ(kOldContents, read_bytes(path_));
      EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
    }
    EXPECT_GE(k, 12u);  // look (open, read, close), create, lock, three writes, sync, name, move, close
    EXPECT_EQ(kNewContents, read_bytes(path_));
  }
}

TEST_F(ConfigWriteTest, MissingDirectoryThrowsOneAndCreatesNothing) {
  try {
    write_config_file(wide(home_ / "missing/ovanstart.cfg"), config_);
    ADD_FAILURE() << "no exception";
  } catch (int error) {
    EXPECT_EQ(1, error);
  }
  EXPECT_FALSE(std::filesystem::exists(home_ / "missing"));
}

TEST_F(ConfigWriteTest, TextTheLocaleCannotHoldThrowsTwoBeforeTouchingTheFile) {
  config_.addValue(u"Bad", std::u16string(1, u'\xd800'));  // an unpaired surrogate
  EXPECT_EQ(2, writeCatching());
  EXPECT_EQ(kOldContents, read_bytes(path_));
  EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
}

TEST_F(ConfigWriteTest, DirectoryInThePlaceOfTheFileIsNotReplaced) {
  std::filesystem::create_directories(dir_ + "/sub.cfg");
  try {
    write_config_file(wide(dir_ + "/sub.cfg"), config_);
    ADD_FAILURE() << "no exception";
  } catch (int error) {
    EXPECT_EQ(1, error);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/sub.cfg"));
  EXPECT_EQ((std::set<std::string>{"ovanstart.cfg", "sub.cfg"}), entries_of(dir_));
}

}  // namespace

namespace {

// How a child writer ends: at the first operation of kind `at`, by a stop
// signal or by a crash (nothing cleans up), on a file system with or
// without unnamed files.
struct Ending {
  FileOp at;
  bool crash;
  bool unnamedFiles;
};

uint32_t end_there(FileOp op, const std::u16string&, void* context) {
  const Ending& ending = *static_cast<const Ending*>(context);
  if (op == FileOp::CreateUnnamedFile && !ending.unnamedFiles) return ERROR_NOT_SUPPORTED;
  if (op != ending.at) return 0;
  if (ending.crash) _exit(9);
  raise(SIGTERM);
  return 0;
}

std::string describe(const Ending& ending) {
  return std::string(ending.at == FileOp::WriteFile ? "while writing" : "at the rename") +
         (ending.crash ? ", crash" : ", stop signal") +
         (ending.unnamedFiles ? "" : ", no unnamed files");
}

}  // namespace

TEST_F(ConfigWriteTest, AnEndedWriterLeavesTheOldFileAndAtMostAReplacementNamedAfterItself) {
  for (FileOp at : {FileOp::WriteFile, FileOp::MoveFile}) {
    for (bool crash : {false, true}) {
      for (bool unnamedFiles : {true, false}) {
        Ending ending{at, crash, unnamedFiles};
        SCOPED_TRACE(describe(ending));
        const pid_t child = fork();
        if (child == 0) {
          install_stop_signal_handlers();
          FileSystem::SetFaultHook(end_there, &ending);
          writeCatching();
          _exit(0);  // not reached
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(crash ? 9 : kStoppedBySignalStatus, WEXITSTATUS(status));
        EXPECT_EQ(kOldContents, read_bytes(path_));
        std::set<std::string> left = entries_of(dir_);
        left.erase("ovanstart.cfg");
        // A stop signal removes a named replacement; a crash leaves one only
        // once it has a name: at the rename, or from the start where the
        // file system cannot make unnamed files.
        const bool named = at == FileOp::MoveFile || !unnamedFiles;
        ASSERT_EQ(crash && named ? 1u : 0u, left.size());
        if (left.empty()) continue;
        struct stat leftover;
        ASSERT_EQ(0, stat((dir_ + "/" + *left.begin()).c_str(), &leftover));
        EXPECT_EQ(narrow_lib(inode_file_name(u".ovst", leftover.st_ino)), *left.begin());
        EXPECT_EQ(1, remove_unlocked_replacements(wide(dir_), kLauncherReplacementPrefix));
        EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
      }
    }
  }
}
