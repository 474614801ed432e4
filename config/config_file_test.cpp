#include "config/config_file.h"

#include <gtest/gtest.h>

#include "config/config_text.h"

namespace {

typedef std::list<std::u16string> Values;

std::u16string keysOf(const ConfigFile& config) {
  std::u16string keys;
  for (const ConfigFile::Entry& entry : config.entries()) keys += entry.key + u";";
  return keys;
}

TEST(CompareNocase, FoldsAsciiLettersOnlyAndOrdersLikeStrcasecmp) {
  EXPECT_EQ(0, compare_nocase(u"ConfigurationTemplatesLocation", u"CONFIGURATIONtemplateslocation"));
  EXPECT_LT(compare_nocase(u"abc", u"ABD"), 0);
  EXPECT_GT(compare_nocase(u"abcd", u"ABC"), 0);
  EXPECT_LT(compare_nocase(u"", u"a"), 0);
  // Under a UTF-8 locale only A-Z fold.
  EXPECT_NE(0, compare_nocase(u"\u00c4", u"\u00e4"));
  EXPECT_EQ(0, compare_nocase(u"/\u0414\u0430/X", u"/\u0414\u0430/x"));
}

TEST(CompareNocase, KeepsTextsWithBytesFromOutsideTheEncodingApart) {
  std::u16string latin1, other;
  widen_config_bytes("caf\xe9", 4, true, latin1);
  widen_config_bytes("caf\xe8", 4, true, other);
  EXPECT_NE(0, compare_nocase(latin1, other));
  EXPECT_NE(0, compare_nocase(latin1, u""));
  EXPECT_NE(0, compare_nocase(latin1, u"caf"));
  EXPECT_EQ(0, compare_nocase(latin1, u"CAF" + latin1.substr(3)));
}

TEST(ConfigFile, AddValueMergesKeysAndValuesRegardlessOfCase) {
  ConfigFile config;
  EXPECT_TRUE(config.addValue(u"A", u"1"));
  EXPECT_TRUE(config.addValue(u"a", u"2"));
  EXPECT_FALSE(config.addValue(u"A", u"1"));
  EXPECT_FALSE(config.addValue(u"a", u"1"));
  EXPECT_TRUE(config.addValue(u"B", u"x"));
  EXPECT_FALSE(config.addValue(u"b", u"X"));

  ASSERT_EQ(2u, config.entries().size());
  EXPECT_EQ(u"A", config.entries()[0].key);  // the first occurrence's case
  EXPECT_EQ((Values{u"1", u"2"}), config.findValues(u"a"));
  EXPECT_EQ((Values{u"x"}), config.findValues(u"B"));
  EXPECT_TRUE(config.findValues(u"missing").empty());
}

TEST(ConfigFile, SetValueReportsWhetherTheListChanged) {
  ConfigFile config;
  EXPECT_TRUE(config.setValue(u"Key", u"v"));
  EXPECT_FALSE(config.setValue(u"KEY", u"V"));  // already exactly that value
  config.addValue(u"key", u"w");
  EXPECT_TRUE(config.setValue(u"key", u"v"));  // holds it among others: cut
  EXPECT_EQ((Values{u"v"}), config.findValues(u"Key"));
  EXPECT_TRUE(config.setValue(u"key", u"w"));
  EXPECT_EQ((Values{u"w"}), config.findValues(u"Key"));
  EXPECT_EQ(1u, config.entries().size());
}

TEST(ConfigFile, SetValuesKeepsPlaceUnlessEmptied) {
  ConfigFile config;
  config.addValue(u"First", u"1");
  config.addValue(u"Second", u"2");
  config.addValue(u"Third", u"3");

  // Stored unchanged, duplicates included; the entry keeps its place.
  config.setValues(u"second", Values{u"b", u"B", u"b"});
  EXPECT_EQ(u"First;Second;Third;", keysOf(config));
  EXPECT_EQ((Values{u"b", u"B", u"b"}), config.findValues(u"Second"));

  // Emptied: moved to the end, with no values.
  config.setValues(u"First", Values());
  EXPECT_EQ(u"Second;Third;First;", keysOf(config));
  EXPECT_TRUE(config.findValues(u"first").empty());

  // A new key goes to the end, even with no values.
  config.setValues(u"Fourth", Values());
  EXPECT_EQ(u"Second;Third;First;Fourth;", keysOf(config));
  config.setValues(u"fourth", Values{u"4"});
  EXPECT_EQ(u"Second;Third;First;Fourth;", keysOf(config));
  EXPECT_EQ((Values{u"4"}), config.findValues(u"Fourth"));
}

TEST(ConfigFile, RemoveValueRemovesOneValueAndAnEmptiedKey) {
  ConfigFile config;
  config.setValues(u"K", Values{u"x", u"X", u"y"});
  config.addValue(u"L", u"z");

  EXPECT_FALSE(config.removeValue(u"K", u"missing"));
  EXPECT_FALSE(config.removeValue(u"missing", u"x"));
  EXPECT_TRUE(config.removeValue(u"k", u"X"));  // the first equal one
  EXPECT_EQ((Values{u"X", u"y"}), config.findValues(u"K"));
  EXPECT_TRUE(config.removeValue(u"K", u"x"));
  EXPECT_TRUE(config.removeValue(u"K", u"Y"));
  EXPECT_EQ(u"L;", keysOf(config));

  // Added again, the key comes back at the end.
  config.addValue(u"k", u"new");
  EXPECT_EQ(u"L;k;", keysOf(config));

  // An entry emptied by setValues holds nothing to remove.
  config.setValues(u"L", Values());
  EXPECT_FALSE(config.removeValue(u"L", u""));
}

TEST(ConfigFile, CopiesAreIndependent) {
  ConfigFile config;
  config.addValue(u"K", u"1");
  ConfigFile copy = config;
  copy.addValue(u"K", u"2");
  EXPECT_EQ((Values{u"1"}), config.findValues(u"K"));
  EXPECT_EQ((Values{u"1", u"2"}), copy.findValues(u"K"));
}

}  // namespace
