#include "install/journal_keys.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

TEST(JournalKeysTest, FindsEveryKeyAcrossGrowthAndRemoval) {
  JournalKeys keys;
  EXPECT_FALSE(keys.contains(u"a"));
  for (int i = 0; i < 5000; ++i)
    keys.add(u"dir" + string_ito(i % 50, 10) + u"/f" + string_ito(i, 10));
  keys.add(u"dir0/f0");  // a duplicate
  ASSERT_EQ(5001u, keys.size());
  for (int i = 0; i < 5000; i += 7)
    EXPECT_TRUE(keys.contains(u"dir" + string_ito(i % 50, 10) + u"/f" + string_ito(i, 10))) << i;
  EXPECT_FALSE(keys.contains(u"dir1/f0"));
  EXPECT_FALSE(keys.contains(u""));

  EXPECT_TRUE(keys.removeFirst(u"dir0/f0"));
  EXPECT_TRUE(keys.contains(u"dir0/f0"));  // the second occurrence is still there
  EXPECT_EQ(u"dir1/f1", keys[0]);
  EXPECT_EQ(u"dir0/f0", keys[keys.size() - 1]);
  EXPECT_TRUE(keys.removeFirst(u"dir0/f0"));
  EXPECT_FALSE(keys.contains(u"dir0/f0"));
  EXPECT_FALSE(keys.removeFirst(u"dir0/f0"));
  EXPECT_TRUE(keys.contains(u"dir49/f4999"));
  EXPECT_EQ(4999u, keys.size());
}

}  // namespace
