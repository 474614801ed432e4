#include "install/directory_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install/install_test_util.h"
#include "install/journal_codec.h"

using namespace install_test;

namespace {

RecordEntry entry_for(const std::u16string& path, const std::string& content,
                      RecordAction action = RecordAction::kInstalled) {
  return RecordEntry{path, content.size(), crc_of(content.data(), content.size()), 0, action};
}

// Every state by what stands in the place, not by its time; a newer file
// the installation kept is only looked for.
TEST(DirectoryCheck, TellsEachEntrysStateByKindSizeAndBytes) {
  ScratchDir dir;
  const std::u16string target = widen_lib(dir.path() + "/");
  writeFile(dir / "ok.txt", "kit bytes", 1);
  writeFile(dir / "same-size.txt", "KIT BYTES", 1);
  writeFile(dir / "longer.txt", "kit bytes and more", 1);
  writeFile(dir / "kept.txt", "the user's newer file", 1);
  mkdir((dir / "folder.txt").c_str(), 0755);
  ASSERT_EQ(0, symlink("ok.txt", (dir / "link.txt").c_str()));
  const std::vector<RecordEntry> entries = {
      entry_for(u"ok.txt", "kit bytes"),          entry_for(u"same-size.txt", "kit bytes"),
      entry_for(u"longer.txt", "kit bytes"),      entry_for(u"gone/missing.txt", "kit bytes"),
      entry_for(u"folder.txt", "kit bytes"),      entry_for(u"link.txt", "kit bytes"),
      entry_for(u"kept.txt", "kit bytes", RecordAction::kKeptNewer)};
  const DirectoryCheck check = check_directory(target, entries);
  EXPECT_EQ(2u, check.ok);
  EXPECT_EQ(1u, check.missing);
  EXPECT_EQ(2u, check.changed);
  EXPECT_EQ(2u, check.otherKind);
  ASSERT_EQ(5u, check.differing.size());
  EXPECT_EQ(u"same-size.txt", check.differing[0].path);
  EXPECT_STREQ("changed", entry_state_code(check.differing[0].state));
  EXPECT_STREQ("missing", entry_state_code(check.differing[2].state));
  EXPECT_STREQ("kind", entry_state_code(check.differing[3].state));
  EXPECT_FALSE(check.allOk());
  EXPECT_TRUE(check_directory(target, {entries[0], entries[6]}).allOk());
}

TEST(DirectoryCheck, AKitGivesOneEntryPerPlaceTheLastDeciding) {
  ScratchDir dir;
  KitReader kit;
  ASSERT_TRUE(openKit(dir.path(), {{u"sub\\a.txt", "first", kitTime(10)},
                                   {u"b.txt", "b", kitTime(10)},
                                   {u"sub/a.txt", "second!", kitTime(20)}},
                      kit));
  std::vector<RecordEntry> entries;
  ASSERT_EQ(0u, record_entries_of_kit(kit, entries));
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(u"sub/a.txt", entries[0].path);
  EXPECT_EQ(7u, entries[0].size);
  EXPECT_EQ(crc_of("second!", 7), entries[0].crc32);
  EXPECT_EQ(20, entries[0].writeSeconds);
  EXPECT_EQ(u"b.txt", entries[1].path);
}

}  // namespace
