#include "platform/file_finder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_fault_injector.h"
#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

class FileFinderTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // Every entry the enumeration of `path` delivers, with its attributes.
  std::map<std::u16string, uint32_t> all(const std::string& path) {
    std::map<std::u16string, uint32_t> found;
    FileFinder finder;
    for (bool more = finder.reset(wide(path)); more; more = finder.next()) {
      EXPECT_TRUE(found.emplace(finder.name(), finder.attributes()).second);
    }
    EXPECT_EQ(u"", finder.name());
    EXPECT_EQ(0u, finder.attributes());
    return found;
  }

  ScratchDir dir_;
};

TEST_F(FileFinderTest, EmptyDirectoryYieldsDotAndDotDot) {
  FileFinder finder;
  ASSERT_TRUE(finder.reset(wide(dir_.path() + "/*")));
  std::u16string first = finder.name();
  EXPECT_EQ(16u, finder.attributes());
  ASSERT_TRUE(finder.next());
  std::u16string second = finder.name();
  EXPECT_EQ(16u, finder.attributes());
  EXPECT_FALSE(finder.next());
  EXPECT_EQ(u"", finder.name());
  EXPECT_NE(first, second);
  EXPECT_TRUE((first == u"." || first == u"..") && (second == u"." || second == u".."));
  EXPECT_FALSE(finder.next());  // stays ended
  EXPECT_EQ(0, finder.close());
}

TEST_F(FileFinderTest, PatternSelectsEntriesIncludingHiddenOnes) {
  ASSERT_TRUE(writeText(dir_ / "a.txt", ""));
  ASSERT_TRUE(writeText(dir_ / ".hidden.txt", ""));
  ASSERT_TRUE(writeText(dir_ / "b.doc", ""));
  ASSERT_EQ(0, mkdir((dir_ / "sub.txt").c_str(), 0755));
  std::map<std::u16string, uint32_t> expected = {
      {u"a.txt", 0}, {u".hidden.txt", 0}, {u"sub.txt", 16}};
  EXPECT_EQ(expected, all(dir_.path() + "/*.txt"));
  EXPECT_EQ(6u, all(dir_.path() + "/*").size());
  EXPECT_EQ(0u, all(dir_.path() + "/*.none").size());
}

TEST_F(FileFinderTest, ExactPathsAreFoundWhateverTheNameHolds) {
  for (std::string name : {"plain", "br[a]ckets", "star*", "back\\slash", "Шаблон"}) {
    ASSERT_TRUE(writeText(dir_ / name, "")) << name;
    FileFinder finder;
    ASSERT_TRUE(finder.reset(wide(dir_ / name))) << name;
    EXPECT_EQ(wide(name), finder.name());
    EXPECT_EQ(0u, finder.attributes());
  }
  // A directory named exactly is found as a directory.
  ASSERT_EQ(0, mkdir((dir_ / "sub").c_str(), 0755));
  FileFinder finder;
  ASSERT_TRUE(finder.reset(wide(dir_ / "sub")));
  EXPECT_EQ(16u, finder.attributes());
}

TEST_F(FileFinderTest, MissingOrEmptyPatternsFindNothing) {
  FileFinder finder;
  EXPECT_FALSE(finder.reset(wide(dir_ / "missing/*")));
  EXPECT_EQ(u"", finder.name());
  EXPECT_FALSE(finder.reset(wide(dir_ / "missing")));
  EXPECT_FALSE(finder.reset(wide(dir_.path() + "/")));  // empty pattern
  EXPECT_FALSE(finder.next());
  EXPECT_EQ(0, finder.close());
}

TEST_F(FileFinderTest, LinksAreReportedAsThemselvesAndUnusableNamesSkipped) {
  ScratchDir outside;
  ASSERT_EQ(0, symlink(outside.path().c_str(), (dir_ / "to-dir").c_str()));
  ASSERT_EQ(0, symlink("/nowhere/at/all", (dir_ / "dangling").c_str()));
  ASSERT_TRUE(writeText(dir_ / "after", ""));
  ASSERT_TRUE(writeText(dir_ / "not utf-8 \xff\xfe", ""));
  std::map<std::u16string, uint32_t> found = all(dir_.path() + "/*");
  // A name with no wide form is skipped, never delivered as an empty name
  // (which a recursive caller would take for the directory itself).
  EXPECT_EQ(0u, found.count(u""));
  EXPECT_EQ(5u, found.size());  // ".", "..", the two links and "after"
  // A link to a directory is not a directory to recurse into, and a dangling
  // link does not end the enumeration early.
  EXPECT_EQ(0u, found.at(u"to-dir"));
  EXPECT_EQ(0u, found.at(u"dangling"));
  EXPECT_EQ(1u, found.count(u"after"));
}

TEST_F(FileFinderTest, ResetRestartsAndRootEntriesAreFound) {
  ASSERT_TRUE(writeText(dir_ / "x", ""));
  FileFinder finder;
  ASSERT_TRUE(finder.reset(wide(dir_ / "x")));
  ASSERT_TRUE(finder.reset(wide(dir_ / "x")));  // an open enumeration is replaced
  EXPECT_EQ(u"x", finder.name());
  EXPECT_TRUE(finder.reset(u"/tmp"));
  EXPECT_EQ(u"tmp", finder.name());
  EXPECT_EQ(16u, finder.attributes());
}

TEST_F(FileFinderTest, AListingThatFailsFindsNothingAndTellsWhy) {
  ASSERT_TRUE(writeText(dir_ / "x", ""));
  FileFinder finder;
  {
    FileFaultInjector fault(1, errorFromErrNo(EIO));
    fault.only({FileOp::ListDirectory}).below(wide(dir_.path()));
    EXPECT_FALSE(finder.reset(wide(dir_ / "x")));
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_EQ(errorFromErrNo(EIO), finder.error());
  EXPECT_EQ(u"", finder.name());
  EXPECT_FALSE(file_exists(wide(dir_ / "missing/x")));
  EXPECT_TRUE(finder.reset(wide(dir_ / "x")));
  EXPECT_EQ(0u, finder.error());
  EXPECT_FALSE(finder.reset(wide(dir_ / "missing/x")));
  EXPECT_EQ(2u, finder.error());
  // A folder read whole at the start: removing entries while enumerating
  // skips none of the others.
  for (const char* name : {"a", "b", "c", "d"}) ASSERT_TRUE(writeText(dir_ / name, ""));
  std::set<std::u16string> seen;
  for (bool more = finder.reset(wide(dir_.path() + "/[a-x]")); more; more = finder.next()) {
    seen.insert(finder.name());
    ::unlink((dir_ / utf16_to_utf8(finder.name())).c_str());
  }
  EXPECT_EQ((std::set<std::u16string>{u"a", u"b", u"c", u"d", u"x"}), seen);
}

}  // namespace
