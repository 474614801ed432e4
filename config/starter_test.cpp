// The template list against real launcher files under a temporary HOME.
#include "config/starter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_paths.h"
#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"

namespace {

typedef std::list<std::u16string> List;

class StarterTest : public testing::Test {
 protected:
  std::string local() const { return home_ / ".Ovan/ovanstart/ovanstart.cfg"; }
  std::string localBase() const { return home_ / ".Ovan/ovanstartt/ovanstart.cfg"; }
  std::string allUsers() const { return home_ / ".ovn8/.Ovan/ovanstart/ovanstart.cfg"; }

  static List read(bool localFirst, bool base, List list = List()) {
    get_tmplts_list(list, localFirst, base);
    return list;
  }

  TemporaryHome home_;
};

TEST_F(StarterTest, WithoutFilesReadsNothingAndWritesOnlyTheTemplateLines) {
  EXPECT_EQ((List{u"kept"}), read(true, false, List{u"kept"}));
  EXPECT_TRUE(read(false, true).empty());
  EXPECT_FALSE(std::filesystem::exists(home_ / ".Ovan"));

  set_tmplts_list(List{u"/srv/b", u"/srv/a"}, false);
  EXPECT_EQ(
      "ConfigurationTemplatesLocation=/srv/b\n"
      "ConfigurationTemplatesLocation=/srv/a\n",
      read_bytes(local()));
  EXPECT_FALSE(std::filesystem::exists(home_ / ".ovn8"));
  EXPECT_EQ((List{u"/srv/b", u"/srv/a"}), read(true, false));
}

// A directory with and without a final separator are two entries; the
// same directory in another letter case or with backslashes is one.
TEST_F(StarterTest, MergesBothFilesWithoutDuplicatesInEitherOrder) {
  write_bytes(local(),
              "ConfigurationTemplatesLocation=/srv/One\n"
              "ConfigurationTemplatesLocation=\\srv\\two\\\n"
              "ConfigurationTemplatesLocation=/srv/local\n");
  write_bytes(allUsers(),
              "configurationtemplateslocation=/SRV/ONE\n"
              "ConfigurationTemplatesLocation=/srv/two/\n"
              "ConfigurationTemplatesLocation=/srv/two\n"
              "ConfigurationTemplatesLocation=/srv/shared/\n"
              "ConfigurationTemplatesLocation=\\srv\\shared\\\n");
  EXPECT_EQ((List{u"/srv/One", u"/srv/two/", u"/srv/local", u"/srv/two", u"/srv/shared/"}),
            read(true, false));
  EXPECT_EQ((List{u"/SRV/ONE", u"/srv/two/", u"/srv/two", u"/srv/shared/", u"/srv/local"}),
            read(false, false));
  // What the list held before stays in front, untouched.
  EXPECT_EQ((List{u"x", u"/srv/One", u"/srv/two/", u"/srv/local", u"/srv/two", u"/srv/shared/"}),
            read(true, false, List{u"x"}));
}

// Both forms of a directory survive a read and a write of the list.
TEST_F(StarterTest, DirectoryWithAndWithoutFinalSeparatorBothSurvive) {
  write_bytes(local(),
              "ConfigurationTemplatesLocation=/a/b\n"
              "ConfigurationTemplatesLocation=/a/b/\n");
  List list = read(true, false);
  EXPECT_EQ((List{u"/a/b", u"/a/b/"}), list);
  list.push_front(u"/new");
  set_tmplts_list(list, false);
  EXPECT_EQ(
      "ConfigurationTemplatesLocation=/new\n"
      "ConfigurationTemplatesLocation=/a/b\n"
      "ConfigurationTemplatesLocation=/a/b/\n",
      read_bytes(local()));
}

TEST_F(StarterTest, AlternateSetReadsTheNormalLocalFileAsItsAllUsersFile) {
  write_bytes(local(), "ConfigurationTemplatesLocation=/normal\n");
  write_bytes(localBase(), "ConfigurationTemplatesLocation=/alternate\n");
  write_bytes(allUsers(), "ConfigurationTemplatesLocation=/all\n");
  EXPECT_EQ((List{u"/alternate", u"/normal"}), read(true, true));
  EXPECT_EQ((List{u"/normal", u"/all"}), read(true, false));
}

// Writing never touches the all-users file of the set, even when it gave
// directories to the list; in the alternate set that is the normal local file.
TEST_F(StarterTest, AllUsersFileIsNeverModified) {
  const std::string allUsersText = "ConfigurationTemplatesLocation=/all\nOther=1\n";
  const std::string normalText = "ConfigurationTemplatesLocation=/normal\nZ=2\n";
  write_bytes(allUsers(), allUsersText);
  write_bytes(local(), normalText);
  struct stat before;
  ASSERT_EQ(0, stat(allUsers().c_str(), &before));

  List list = read(true, true);
  list.push_front(u"/new");
  set_tmplts_list(list, true);
  EXPECT_EQ(normalText, read_bytes(local()));
  EXPECT_EQ(
      "ConfigurationTemplatesLocation=/new\n"
      "ConfigurationTemplatesLocation=/normal\n",
      read_bytes(localBase()));

  list = read(true, false);
  list.push_front(u"/new");
  set_tmplts_list(list, false);
  EXPECT_EQ(allUsersText, read_bytes(allUsers()));
  struct stat after;
  ASSERT_EQ(0, stat(allUsers().c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  // The directory it contributed is now recorded in the local file.
  EXPECT_EQ(
      "ConfigurationTemplatesLocation=/new\n"
      "ConfigurationTemplatesLocation=/normal\n"
      "ConfigurationTemplatesLocation=/all\n"
      "Z=2\n",
      read_bytes(local()));
}

TEST_F(StarterTest, EmptyListRemovesOnlyTheTemplateLines) {
  write_bytes(local(),
              "DefaultVersion=8.3\n"
              "ConfigurationTemplatesLocation=/a\n"
              "CommonInfoBases=/bases\n"
              "configurationTemplatesLocation=/b\n"
              "InstalledLocation=/opt/x\n");
  set_tmplts_list(List(), false);
  EXPECT_EQ(
      "DefaultVersion=8.3\n"
      "CommonInfoBases=/bases\n"
      "InstalledLocation=/opt/x\n",
      read_bytes(local()));
}

TEST_F(StarterTest, NewListReplacesTheOldOneInItsPlace) {
  write_bytes(local(),
              "First=1\n"
              "ConfigurationTemplatesLocation=/old\n"
              "Last=\xff\xfe raw bytes\n");
  set_tmplts_list(List{u"/a/b", u"/A/B\\", u"/a/b/", u"", u"", u"/c"}, false);
  EXPECT_EQ(
      "First=1\n"
      "ConfigurationTemplatesLocation=/a/b\n"
      "ConfigurationTemplatesLocation=/a/b/\n"
      "ConfigurationTemplatesLocation=\n"
      "ConfigurationTemplatesLocation=/c\n"
      "Last=\xff\xfe raw bytes\n",
      read_bytes(local()));
}

TEST(StarterStatic, RemovePathDuplicatesKeepsTheFirstUnchanged) {
  List list{u"/a/b", u"/A/B\\", u"/a/b/", u"/A/B/", u"\\a\\b\\", u"/",
            u"//",   u"",       u"",      u"/a",   u"/a\\",      u"/a/b/c"};
  Starter::removePathDuplicates(list);
  EXPECT_EQ((List{u"/a/b", u"/a/b/", u"\\a\\b\\", u"/", u"//", u"", u"/a", u"/a/b/c"}), list);

  List paths{u"\\srv\\x\\", u"C:\\y"};
  Starter::replaceWrongSeparators(paths);
  EXPECT_EQ((List{u"/srv/x/", u"C:/y"}), paths);
}

// The first write fails because the directory could not be made; the retry
// creates the directory of the file it writes, and succeeds.
TEST_F(StarterTest, RetryCreatesTheDirectoryOfTheFile) {
  {
    FileFaultInjector fault(1, ERROR_FILE_NOT_FOUND);
    fault.only({FileOp::CreateDirectory});
    set_tmplts_list(List{u"/t"}, false);
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_EQ("ConfigurationTemplatesLocation=/t\n", read_bytes(local()));
}

TEST_F(StarterTest, FailureOfTheRetryPropagatesAndChangesNothing) {
  write_bytes(local(), "A=1\n");
  FileFaultInjector fault(1, ERROR_INVALID_PARAMETER);
  fault.only({FileOp::MoveFile}).persistent();
  EXPECT_THROW(set_tmplts_list(List{u"/t"}, false), int);
  EXPECT_EQ(2u, fault.count());  // one try, one retry
  EXPECT_EQ("A=1\n", read_bytes(local()));
  EXPECT_EQ(std::set<std::string>{"ovanstart.cfg"}, entries_of(home_ / ".Ovan/ovanstart"));
}

TEST_F(StarterTest, LocalFileThatCannotBeReadIsNotOverwritten) {
  std::filesystem::create_directories(local());  // a directory in the file's place
  EXPECT_THROW(set_tmplts_list(List{u"/t"}, false), int);
  EXPECT_TRUE(std::filesystem::is_directory(local()));
  std::filesystem::remove(local());
  // A FIFO and a link to a device: refused without blocking, left as they are.
  ASSERT_EQ(0, mkfifo(local().c_str(), 0600));
  alarm(10);  // a read that blocks ends the test program
  EXPECT_TRUE(read(true, false).empty());
  EXPECT_THROW(set_tmplts_list(List{u"/t"}, false), int);
  alarm(0);
  EXPECT_TRUE(std::filesystem::is_fifo(local()));
  std::filesystem::remove(local());
  ASSERT_EQ(0, symlink("/dev/zero", local().c_str()));
  EXPECT_TRUE(read(true, false).empty());
  EXPECT_THROW(set_tmplts_list(List{u"/t"}, false), int);
  EXPECT_TRUE(std::filesystem::is_symlink(local()));
}

}  // namespace
