#include "install/install_paths.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallPathsTest, ParentAndTrailingSeparator) {
  EXPECT_EQ(u"/a/b", parent_directory(u"/a/b/c.txt"));
  EXPECT_EQ(u"/", parent_directory(u"/top"));
  EXPECT_EQ(u"", parent_directory(u"name"));
  EXPECT_EQ(u"/a/b", without_trailing_separator(u"/a/b/"));
  EXPECT_EQ(u"/", without_trailing_separator(u"/"));
  EXPECT_EQ(u"/a", without_trailing_separator(u"/a"));
}

TEST(InstallPathsTest, RelativeKeysNameEachFileOnce) {
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
