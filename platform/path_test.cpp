#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PathTest, ParentAndTrailingSeparator) {
  EXPECT_EQ(u"/a/b", parent_directory(u"/a/b/c.txt"));
  EXPECT_EQ(u"/", parent_directory(u"/top"));
  EXPECT_EQ(u"", parent_directory(u"name"));
  EXPECT_EQ(u"/a/b", without_trailing_separator(u"/a/b/"));
  EXPECT_EQ(u"/", without_trailing_separator(u"/"));
  EXPECT_EQ(u"/a", without_trailing_separator(u"/a"));
}

TEST(PathTest, EveryTrailingSeparatorGoesButTheRootStays) {
  EXPECT_EQ(u"/a", without_trailing_separator(u"/a///"));
  EXPECT_EQ(u"/", without_trailing_separator(u"///"));
  EXPECT_EQ(u"", without_trailing_separator(u""));
  EXPECT_EQ("link", without_trailing_separator(std::string("link//")));
  // A backslash is a character of the name unless the caller says otherwise.
  EXPECT_EQ(u"/a\\", without_trailing_separator(u"/a\\"));
  EXPECT_EQ(u"/a", without_trailing_separator(u"/a\\/\\", PathSeparators::kSlashAndBackslash));
  EXPECT_EQ(u"\\", without_trailing_separator(u"\\\\", PathSeparators::kSlashAndBackslash));
}

TEST(PathTest, TrailingSeparatorIsAddedOnce) {
  EXPECT_EQ(u"/tmp/", with_trailing_separator(u"/tmp"));
  EXPECT_EQ(u"/tmp/", with_trailing_separator(u"/tmp/"));
  EXPECT_EQ(u"", with_trailing_separator(u""));
  EXPECT_EQ(u"C:\\t\\/", with_trailing_separator(u"C:\\t\\"));
  EXPECT_EQ(u"C:\\t\\", with_trailing_separator(u"C:\\t\\", PathSeparators::kSlashAndBackslash));
  EXPECT_EQ("dir/", with_trailing_separator(std::string("dir")));
}

TEST(PathTest, ParentOfPathsWithBothSeparators) {
  EXPECT_EQ(u"/a", parent_directory(u"/a/b\\c.txt"));
  EXPECT_EQ(u"/a/b", parent_directory(u"/a/b\\c.txt", PathSeparators::kSlashAndBackslash));
  EXPECT_EQ(u"C:", parent_directory(u"C:\\list", PathSeparators::kSlashAndBackslash));
  EXPECT_EQ(u"", parent_directory(u"C:\\list"));
  EXPECT_EQ(u"/a/b", parent_directory(u"/a/b/"));  // the trailing "/" is not dropped first
  EXPECT_EQ(u"/", parent_directory(u"//a"));
}

TEST(PathTest, LastComponent) {
  EXPECT_EQ("c.txt", last_path_component("/a/b/c.txt"));
  EXPECT_EQ("name", last_path_component("name"));
  EXPECT_EQ("", last_path_component("/a/"));
  EXPECT_EQ("..", last_path_component("/a/.."));
}

TEST(PathTest, WalkingUpAndDownOnePathInPlace) {
  const std::u16string full = u"/a//b/c";
  std::u16string level = full;
  std::vector<std::u16string> up;
  do up.push_back(level);
  while (level != u"/" && path_up_one_level(level));
  EXPECT_EQ((std::vector<std::u16string>{u"/a//b/c", u"/a//b", u"/a/", u"/a", u"/"}), up);
  std::u16string relative = u"name";
  EXPECT_FALSE(path_up_one_level(relative));
  EXPECT_EQ(u"name", relative);

  std::vector<std::u16string> down;
  while (path_down_one_level(full, level)) down.push_back(level);
  EXPECT_EQ((std::vector<std::u16string>{u"/a", u"/a//b", u"/a//b/c"}), down);
  EXPECT_EQ(full, level);
  // Separators alone at the end add no level, but the walk reaches the end.
  std::u16string start = u"/a";
  EXPECT_FALSE(path_down_one_level(u"/a//", start));
  EXPECT_EQ(u"/a//", start);
}

TEST(PathTest, RelativeKeysNameEachFileOnce) {
  std::u16string key;
  ASSERT_TRUE(relative_path_key(u"a/b.txt", key));
  EXPECT_EQ(u"a/b.txt", key);
  ASSERT_TRUE(relative_path_key(u"a//./b.txt", key));
  EXPECT_EQ(u"a/b.txt", key);
  ASSERT_TRUE(relative_path_key(u"./a/b.txt/", key));
  EXPECT_EQ(u"a/b.txt", key);
  ASSERT_TRUE(relative_path_key(u"..a/b..", key));  // dots inside names are names
  EXPECT_EQ(u"..a/b..", key);
  EXPECT_FALSE(relative_path_key(u"a/../b", key));
  EXPECT_FALSE(relative_path_key(u"..", key));
  EXPECT_FALSE(relative_path_key(u"", key));
  EXPECT_FALSE(relative_path_key(u"./", key));
}

}  // namespace
