// Which launcher file the list comes from, and which files take a newly
// installed directory, against real files under a temporary HOME.
#include "config/launcher_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"

namespace {

typedef std::list<std::u16string> List;

std::string templates(const std::vector<std::string>& directories) {
  std::string text;
  for (const std::string& directory : directories)
    text += "ConfigurationTemplatesLocation=" + directory + "\n";
  return text;
}

class LauncherRecordTest : public testing::Test {
 protected:
  std::string normal() const { return home_ / ".Ovan/ovanstart/ovanstart.cfg"; }
  std::string alternate() const { return home_ / ".Ovan/ovanstartt/ovanstart.cfg"; }
  std::string allUsers() const { return home_ / ".ovn8/.Ovan/ovanstart/ovanstart.cfg"; }

  static bool isLink(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
  }

  TemporaryHome home_;
};

TEST_F(LauncherRecordTest, TheListComesFromTheNormalFileElseFromTheAlternateSet) {
  TemplateList none = read_template_list();
  EXPECT_TRUE(none.directories.empty());
  EXPECT_FALSE(none.fromAlternateSet);
  EXPECT_FALSE(none.alternateFileExists);

  // The alternate set: its own file first, then the normal per-user file
  // as its all-users file (missing here).
  write_bytes(alternate(), "Other=1\n");
  TemplateList unlisted = read_template_list();
  EXPECT_TRUE(unlisted.directories.empty());
  EXPECT_FALSE(unlisted.fromAlternateSet);
  EXPECT_TRUE(unlisted.alternateFileExists);
  write_bytes(alternate(), templates({"/srv/alt"}));
  TemplateList alternateSet = read_template_list();
  EXPECT_EQ((List{u"/srv/alt"}), alternateSet.directories);
  EXPECT_TRUE(alternateSet.fromAlternateSet);

  // An existing normal file wins, even one without templates.
  write_bytes(normal(), "Other=1\n");
  write_bytes(allUsers(), templates({"\\srv\\shared"}));
  TemplateList normalSet = read_template_list();
  EXPECT_EQ((List{u"/srv/shared"}), normalSet.directories);
  EXPECT_FALSE(normalSet.fromAlternateSet);
  EXPECT_TRUE(normalSet.alternateFileExists);
}

TEST_F(LauncherRecordTest, TheDirectoryGoesFirstInTheNormalFileWithOneFinalSeparatorDropped) {
  LauncherRecording recording = record_template_directory(u"/srv/new/");
  ASSERT_EQ(1u, recording.files.size());
  EXPECT_EQ(wide(normal()), recording.files[0].file);
  EXPECT_EQ(0u, recording.files[0].error);
  EXPECT_TRUE(recording.files[0].reason.empty());
  EXPECT_TRUE(recording.recorded());
  EXPECT_EQ(templates({"/srv/new"}), read_bytes(normal()));
  EXPECT_FALSE(std::filesystem::exists(home_ / ".Ovan/ovanstartt"));

  write_bytes(normal(), "Other=kept\n" + templates({"/srv/a", "/srv/new"}));
  EXPECT_TRUE(record_template_directory(u"/srv/b\\\\").recorded());
  EXPECT_EQ("Other=kept\n" + templates({"/srv/b\\", "/srv/a", "/srv/new"}), read_bytes(normal()));
  // A directory already listed moves to the front; the root stays the root;
  // the backslash is read back as "/".
  EXPECT_TRUE(record_template_directory(u"/srv/new").recorded());
  EXPECT_TRUE(record_template_directory(u"/").recorded());
  EXPECT_EQ("Other=kept\n" + templates({"/", "/srv/new", "/srv/b/", "/srv/a"}), read_bytes(normal()));
}

// The alternate file takes the directory too, keeping its own entries; a
// list read from the alternate set goes there only.
TEST_F(LauncherRecordTest, TheAlternateFileKeepsItsOwnEntries) {
  write_bytes(normal(), templates({"/srv/normal"}));
  write_bytes(alternate(), templates({"/srv/alt-own"}));
  LauncherRecording recording = record_template_directory(u"/srv/new");
  ASSERT_EQ(2u, recording.files.size());
  EXPECT_EQ(wide(normal()), recording.files[0].file);
  EXPECT_EQ(wide(alternate()), recording.files[1].file);
  EXPECT_TRUE(recording.recorded());
  EXPECT_EQ(templates({"/srv/new", "/srv/normal"}), read_bytes(normal()));
  EXPECT_EQ(0u, read_bytes(alternate()).find(templates({"/srv/new", "/srv/alt-own"})))
      << read_bytes(alternate());

  ASSERT_EQ(0, unlink(normal().c_str()));
  recording = record_template_directory(u"/srv/newer");
  ASSERT_EQ(1u, recording.files.size());
  EXPECT_EQ(wide(alternate()), recording.files[0].file);
  EXPECT_EQ(0u, read_bytes(alternate()).find(templates({"/srv/newer", "/srv/new", "/srv/alt-own"})));
  EXPECT_FALSE(std::filesystem::exists(normal()));
}

// One file that fails keeps neither the other from taking the directory
// nor its own error number and reason from the result.
TEST_F(LauncherRecordTest, BothFilesAreTriedAndTheFailingOneIsNamed) {
  const std::string normalBefore = templates({"/srv/normal"});
  const std::string alternateBefore = templates({"/srv/alt-own"});
  struct Case {
    std::string failing;
    FileOp op;
    uint32_t error;
  };
  for (const Case& failing : {Case{normal(), FileOp::WriteFile, ERROR_DISK_FULL},
                              Case{alternate(), FileOp::MoveFile, ERROR_ACCESS_DENIED}}) {
    SCOPED_TRACE(failing.failing);
    write_bytes(normal(), normalBefore);
    write_bytes(alternate(), alternateBefore);
    const std::string folder = failing.failing.substr(0, failing.failing.rfind('/'));
    LauncherRecording recording;
    {
      // Persistent: the write is tried again once.
      FileFaultInjector fault(1, failing.error);
      fault.only({failing.op}).below(wide(folder)).persistent();
      recording = record_template_directory(u"/srv/new");
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_FALSE(recording.recorded());
    ASSERT_EQ(2u, recording.files.size());
    const bool normalFails = failing.failing == normal();
    const LauncherFileUpdate& failed = recording.files[normalFails ? 0 : 1];
    const LauncherFileUpdate& other = recording.files[normalFails ? 1 : 0];
    EXPECT_EQ(wide(failing.failing), failed.file);
    EXPECT_EQ(failing.error, failed.error);
    EXPECT_FALSE(failed.reason.empty());
    EXPECT_EQ(0u, other.error);
    EXPECT_EQ(normalFails ? normalBefore : alternateBefore, read_bytes(failing.failing));
    const std::string untouched = normalFails ? alternate() : normal();
    EXPECT_EQ(0u, read_bytes(untouched).find(templates({"/srv/new"})));
  }
}

// A link at the per-user file stays a link, also one to a file not made yet.
TEST_F(LauncherRecordTest, ALinkAtTheFileStaysALink) {
  ASSERT_TRUE(testkit::makeDirs(home_ / ".Ovan/ovanstart"));
  ASSERT_TRUE(testkit::makeDirs(home_ / "dotfiles"));
  ASSERT_EQ(0, symlink((home_ / "dotfiles/ovanstart.cfg").c_str(), normal().c_str()));
  EXPECT_TRUE(record_template_directory(u"/srv/first").recorded());
  EXPECT_TRUE(isLink(normal()));
  EXPECT_EQ(templates({"/srv/first"}), read_bytes(home_ / "dotfiles/ovanstart.cfg"));
  EXPECT_TRUE(record_template_directory(u"/srv/second").recorded());
  EXPECT_TRUE(isLink(normal()));
  EXPECT_EQ(templates({"/srv/second", "/srv/first"}), read_bytes(home_ / "dotfiles/ovanstart.cfg"));
}

}  // namespace

namespace {

// Taking a directory out keeps every other entry and setting; a file that
// does not list it is not written at all.
TEST_F(LauncherRecordTest, AnUninstalledDirectoryLeavesTheListsThatNameIt) {
  write_bytes(normal(), "Other=1\n" + templates({"/srv/b", "/srv/a"}));
  EXPECT_TRUE(unrecord_template_directory(u"/srv/b/").recorded());
  EXPECT_EQ("Other=1\n" + templates({"/srv/a"}), read_bytes(normal()));
  struct stat before = {}, after = {};
  ASSERT_EQ(0, stat(normal().c_str(), &before));
  const LauncherRecording again = unrecord_template_directory(u"/srv/b");
  EXPECT_TRUE(again.files.empty());
  EXPECT_FALSE(again.changed());
  ASSERT_EQ(0, stat(normal().c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ("Other=1\n" + templates({"/srv/a"}), read_bytes(normal()));
}

}  // namespace
