// The maintenance verbs as an administrator runs them, with the real
// program: install, --verify, --repair, --uninstall, and a rebuilt kit that
// only changes times.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/e2e_support.h"
#include "kit/kit_writer.h"
#include "platform/test_toolkit.h"

namespace {

const int64_t kKitTime = 1600000000;

ino_t inode_of(const std::string& path) {
  struct stat status = {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

class MaintenanceE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    if (e2e::wizard_binary().empty()) GTEST_SKIP() << "ovn8setup is not built";
    home_ = root_ / "home";
    tmp_ = root_ / "tmp";
    target_ = root_ / "templates";
    for (const std::string& dir : {home_, tmp_, target_}) mkdir(dir.c_str(), 0755);
    ASSERT_TRUE(testkit::writeFile(target_ + "/before.txt", "there before"));
    ASSERT_TRUE(writeKit(kKitTime));
  }

  bool writeKit(int64_t seconds) {
    const _FILETIME time = EpochToFileTime(seconds);
    return config::writeKit(root_ / "kit.okd", {{u"a.txt", "a", time},
                                                {u"forms\\b.xml", "<b/>", time},
                                                {u"forms\\deep\\c.dot", "c", time}});
  }

  e2e::Result run(std::vector<std::string> args) {
    args.insert(args.begin(), e2e::wizard_binary());
    return e2e::run_headless(args, home_, tmp_, root_.path());
  }
  e2e::Result install() { return run({"--unattended", "-q", "--kit=" + kit(), "--target=" + target_}); }
  e2e::Result verb(const std::string& name) { return run({name, "--kit=" + kit(), "--target=" + target_}); }
  std::string kit() const { return root_ / "kit.okd"; }
  std::string launcherFile() const { return testkit::readFile(home_ + "/.Ovan/ovanstart/ovanstart.cfg"); }
  // The visible name a repair kept `name` under, or "".
  std::string keptAside(const std::string& folder, const std::string& name) {
    for (const std::string& entry : testkit::entryNames(folder))
      if (entry.compare(0, name.size() + 9, name + ".changed-") == 0) return folder + "/" + entry;
    return "";
  }

  testkit::ScratchDir root_;
  std::string home_, tmp_, target_;
};

TEST_F(MaintenanceE2eTest, VerifyRepairRebuildAndUninstall) {
  ASSERT_EQ(0, install().status);
  e2e::Result verified = verb("--verify");
  EXPECT_EQ(0, verified.status) << verified.err;
  EXPECT_NE(std::string::npos, verified.out.find("3 entries: 3 ok")) << verified.out;

  unlink((target_ + "/a.txt").c_str());
  ASSERT_TRUE(testkit::writeFile(target_ + "/forms/b.xml", "<b>edited</b>"));
  verified = run({"--verify", "--target=" + target_});
  EXPECT_EQ(5, verified.status);
  EXPECT_NE(std::string::npos, verified.out.find("missing  a.txt\n")) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("changed  forms/b.xml\n")) << verified.out;

  const e2e::Result repaired = verb("--repair");
  EXPECT_EQ(0, repaired.status) << repaired.err;
  EXPECT_EQ("a", testkit::readFile(target_ + "/a.txt"));
  EXPECT_EQ("<b/>", testkit::readFile(target_ + "/forms/b.xml"));
  const std::string aside = keptAside(target_ + "/forms", "b.xml");
  ASSERT_NE("", aside);
  EXPECT_EQ("<b>edited</b>", testkit::readFile(aside));
  EXPECT_NE(std::string::npos, repaired.out.find("forms/b.xml as forms/b.xml.changed-")) << repaired.out;
  EXPECT_EQ(0, verb("--verify").status);

  // The same bytes with newer times: no file is written again.
  const ino_t before = inode_of(target_ + "/forms/deep/c.dot");
  ASSERT_TRUE(writeKit(kKitTime + 100));
  // The dry run plans what the run does: times set, nothing replaced.
  const e2e::Result planned =
      run({"--unattended", "--dry-run", "--json=files", "--kit=" + kit(), "--target=" + target_});
  EXPECT_EQ(0, planned.status) << planned.err;
  EXPECT_NE(std::string::npos, planned.out.find("\"replaced\":0")) << planned.out;
  EXPECT_NE(std::string::npos, planned.out.find("\"time_updated\":3")) << planned.out;
  EXPECT_NE(std::string::npos, planned.out.find("\"action\":\"update-time\"")) << planned.out;
  EXPECT_NE(std::string::npos, planned.out.find("\"changed\":true")) << planned.out;
  EXPECT_EQ(kKitTime, testkit::modificationTime(target_ + "/a.txt"));
  const e2e::Result rebuilt = run({"--unattended", "--json", "--kit=" + kit(), "--target=" + target_});
  EXPECT_EQ(0, rebuilt.status);
  EXPECT_NE(std::string::npos, rebuilt.out.find("\"time_updated\":3")) << rebuilt.out;
  EXPECT_NE(std::string::npos, rebuilt.out.find("\"changed\":true")) << rebuilt.out;
  EXPECT_EQ(before, inode_of(target_ + "/forms/deep/c.dot"));
  EXPECT_EQ(kKitTime + 100, testkit::modificationTime(target_ + "/forms/deep/c.dot"));
  EXPECT_EQ(kKitTime + 100, testkit::modificationTime(target_ + "/a.txt"));
  EXPECT_EQ(0, verb("--verify").status);

  // What stays: the file there before, the one kept aside, and a file
  // changed since, which is named.
  ASSERT_TRUE(testkit::writeFile(target_ + "/forms/deep/c.dot", "user's c"));
  EXPECT_NE(std::string::npos, launcherFile().find(target_));
  const e2e::Result removed = run({"--uninstall", "--target=" + target_});
  EXPECT_EQ(0, removed.status) << removed.err;
  EXPECT_NE(std::string::npos, removed.out.find("kept     forms/deep/c.dot\n")) << removed.out;
  std::vector<std::string> left;
  for (const std::string& name : testkit::entryNames(target_)) left.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"before.txt", "forms"}), left);
  EXPECT_EQ("user's c", testkit::readFile(target_ + "/forms/deep/c.dot"));
  EXPECT_EQ("<b>edited</b>", testkit::readFile(aside));
  EXPECT_FALSE(testkit::exists(target_ + "/a.txt"));
  EXPECT_NE(std::string::npos, launcherFile().find(target_));
  EXPECT_EQ(1, run({"--verify", "--target=" + target_}).status);

  // Into an empty directory and out again: the launcher forgets it.
  unlink((target_ + "/before.txt").c_str());
  unlink(aside.c_str());
  unlink((target_ + "/forms/deep/c.dot").c_str());
  rmdir((target_ + "/forms/deep").c_str());
  rmdir((target_ + "/forms").c_str());
  ASSERT_EQ(0, install().status);
  EXPECT_EQ(0, run({"--uninstall", "--target=" + target_}).status);
  EXPECT_TRUE(testkit::entryNames(target_).empty());
  EXPECT_EQ(std::string::npos, launcherFile().find(target_));
}

TEST_F(MaintenanceE2eTest, TheRecordNamesTheKitAndItsVersion) {
  config::KitSpec spec;
  spec.descriptions.push_back({u"en", u"Sales Templates", u"Example Software Ltd.", u""});
  spec.files.push_back({u"a.txt", "a", EpochToFileTime(kKitTime)});
  spec.kitVersion = u"2.4.1";
  ASSERT_TRUE(config::writeKit(kit(), spec));
  ASSERT_EQ(0, install().status);

  const e2e::Result verified = run({"--verify", "--json", "--target=" + target_});
  EXPECT_EQ(0, verified.status) << verified.err;
  EXPECT_NE(std::string::npos, verified.out.find("\"product\":\"Sales Templates\"")) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("\"version\":\"2.4.1\"")) << verified.out;
}

TEST_F(MaintenanceE2eTest, VerbsThatWouldChangeRefuseADryRunAndEachOther) {
  ASSERT_EQ(0, install().status);
  const std::string before = testkit::readFile(target_ + "/a.txt");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--uninstall", "--dry-run", "--target=" + target_},
        std::vector<std::string>{"--repair", "--dry-run", "--kit=" + kit(), "--target=" + target_},
        std::vector<std::string>{"--verify", "--uninstall", "--target=" + target_}}) {
    const e2e::Result refused = run(args);
    EXPECT_EQ(1, refused.status) << args[0] << " " << args[1];
    EXPECT_FALSE(refused.err.empty());
  }
  EXPECT_EQ(before, testkit::readFile(target_ + "/a.txt"));
  EXPECT_EQ(0, verb("--verify").status);

  // A fleet tool reads the outcome: removed once, then nothing to remove.
  const e2e::Result removed = run({"--uninstall", "--json", "--target=" + target_});
  EXPECT_EQ(0, removed.status) << removed.err;
  EXPECT_NE(std::string::npos, removed.out.find("\"changed\":true")) << removed.out;
  EXPECT_NE(std::string::npos, removed.out.find("\"failure\":null")) << removed.out;
  const e2e::Result again = run({"--uninstall", "--json", "--target=" + target_});
  EXPECT_EQ(1, again.status);
  EXPECT_NE(std::string::npos, again.out.find("\"changed\":false")) << again.out;
  EXPECT_NE(std::string::npos, again.out.find("\"code\":\"no-record\"")) << again.out;
}

}  // namespace
