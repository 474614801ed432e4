// The writer replaces the file as a whole or not at all.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_writer.h"
#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"
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

TEST_F(ConfigWriteTest, NewFileGetsTheModeOfTheUmask) {
  const mode_t old = umask(027);
  write_config_file(wide(dir_ + "/new.cfg"), config_);
  umask(old);
  EXPECT_EQ(0640u, modeOf(dir_ + "/new.cfg"));
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

// Every file operation of the writer failed once in turn: each failure
// throws 1 or 2, and the old file and its directory stay exactly as they were.
// Only the sync of the directory after the rename cannot undo the rename:
// the new file stands and the write reports success.
TEST_F(ConfigWriteTest, EveryFailingOperationLeavesTheOldFile) {
  uint64_t k = 1;
  uint64_t operations = 0;
  {
    FileFaultInjector count;
    ASSERT_EQ(0, writeCatching());
    operations = count.count();
    write_bytes(path_, kOldContents);
  }
  for (;; ++k) {
    SCOPED_TRACE(testing::Message() << "failing operation " << k);
    int result;
    bool fired;
    {
      FileFaultInjector fault(k, setLastErrorByErrNo(EACCES));
      result = writeCatching();
      fired = fault.fired();
    }
    if (!fired) break;
    // The last two come after the rename: closing the replacement, which
    // stays open and locked until it has its name, and syncing the listing.
    if (k >= operations - 1) {
      EXPECT_EQ(0, result);
      EXPECT_EQ(kNewContents, read_bytes(path_));
      write_bytes(path_, kOldContents);
      continue;
    }
    EXPECT_TRUE(result == 1 || result == 2) << result;
    EXPECT_EQ(kOldContents, read_bytes(path_));
    EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
  }
  EXPECT_GE(k, 6u);  // create, open, three writes, close, move
  EXPECT_EQ(kNewContents, read_bytes(path_));
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

uint32_t stop_while_writing(FileOp op, const std::u16string& path, void*) {
  if (op == FileOp::WriteFile && path.find(u"/.ovst") != std::u16string::npos) raise(SIGTERM);
  return 0;
}

}  // namespace

TEST_F(ConfigWriteTest, AStopSignalDuringTheRewriteRemovesTheReplacementAndKeepsTheOldFile) {
  const pid_t child = fork();
  if (child == 0) {
    install_stop_signal_handlers();
    FileSystem::SetFaultHook(stop_while_writing, nullptr);
    writeCatching();
    _exit(0);  // not reached
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kStoppedBySignalStatus, WEXITSTATUS(status));
  EXPECT_EQ(kOldContents, read_bytes(path_));
  EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(dir_));
}
