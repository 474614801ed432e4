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
  // A backslash is part of a journal key's name; a NUL is in no real name.
  ASSERT_TRUE(relative_path_key(u"a\\b", key));
  EXPECT_EQ(u"a\\b", key);
  EXPECT_FALSE(relative_path_key(std::u16string(u"a/b\0c", 5), key));
}

TEST(PathTest, KitNamesAreNormalWithEitherSeparatorAndTheirOwnJoiner) {
  std::u16string name;
  ASSERT_TRUE(normal_relative_path(u"\\forms\\.\\a.tpl", PathSeparators::kSlashAndBackslash, u'\\',
                                   name));
  EXPECT_EQ(u"forms\\a.tpl", name);
  ASSERT_TRUE(normal_relative_path(u"x/y\\z", PathSeparators::kSlashAndBackslash, u'/', name));
  EXPECT_EQ(u"x/y/z", name);
  EXPECT_FALSE(normal_relative_path(u"a\\..\\b", PathSeparators::kSlashAndBackslash, u'/', name));
  EXPECT_FALSE(normal_relative_path(u"\\.\\", PathSeparators::kSlashAndBackslash, u'/', name));
  // Only with backslashes as separators is "..\\x" a way out.
  EXPECT_TRUE(normal_relative_path(u"..\\x", PathSeparators::kSlash, u'/', name));
}

TEST(PathTest, RelativePathsBecomeAbsoluteAgainstTheCurrentDirectory) {
  EXPECT_EQ("/srv/t", absolute_path(std::string("/srv/t"), "/home/u"));
  EXPECT_EQ("/home/u/t/x", absolute_path(std::string("t/x"), "/home/u"));
  EXPECT_EQ("/home/u/t", absolute_path(std::string("././t"), "/home/u/"));
  EXPECT_EQ("/home/u/", absolute_path(std::string("."), "/home/u"));
  EXPECT_EQ("/home/u/../t", absolute_path(std::string("../t"), "/home/u"));
  EXPECT_EQ("/home/u/.hidden", absolute_path(std::string(".hidden"), "/home/u"));
  EXPECT_EQ("t", absolute_path(std::string("t"), ""));
  EXPECT_EQ("", absolute_path(std::string(""), "/home/u"));
  // The narrow form knows no home: "~" there is a name like any other.
  EXPECT_EQ("/w/~", absolute_path(std::string("~"), "/w"));
  EXPECT_EQ(u"/home/u/tpl", absolute_path(u"~/tpl", u"/home/u", u"/w"));
  EXPECT_EQ(u"/home/u", absolute_path(u"~", u"/home/u", u""));
  EXPECT_EQ(u"/w/~other", absolute_path(u"~other", u"/home/u", u"/w"));
  EXPECT_EQ(u"/w/~", absolute_path(u"~", u"", u"/w"));
  EXPECT_EQ(u"rel", absolute_path(u"rel", u"/home/u", u""));
}

}  // namespace
