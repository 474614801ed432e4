// Access keys in every language: one letter each, never the same twice in
// one window, and names for screen readers without the decoration.
#include "ui/mnemonics.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <set>

#include "platform/text.h"
#include "resources/lang.h"

namespace {

// The letter after the one "_" that marks it ("__" is a plain underscore).
std::string key_of(const std::string& marked) {
  for (size_t i = 0; i < marked.size(); ++i) {
    if (marked[i] != '_') continue;
    if (i + 1 < marked.size() && marked[i + 1] == '_') {
      ++i;
      continue;
    }
    const char* letter = marked.c_str() + i + 1;
    gchar* lower = g_utf8_strdown(letter, g_utf8_next_char(letter) - letter);
    const std::string key = lower;
    g_free(lower);
    return key;
  }
  return std::string();
}

TEST(MnemonicsTest, EachLabelGetsAFreeLetterPreferablyAWordsFirst) {
  EXPECT_EQ((std::vector<std::string>{"_Next >", "< _Back", "_Cancel", "_Finish", "_Template directory:"}),
            with_mnemonics({"Next >", "< Back", "Cancel", "Finish", "Template directory:"}));
  // Taken first letters give way to the next word's, then to any letter.
  EXPECT_EQ((std::vector<std::string>{"_Open", "Open _description", "O_pen"}),
            with_mnemonics({"Open", "Open description", "Open"}));
  // Case does not make another key; a label with nothing free gets none.
  EXPECT_EQ((std::vector<std::string>{"_ab", "A_b", "ab"}), with_mnemonics({"ab", "Ab", "ab"}));
  // A text's own underscore stays an underscore; letters outside ASCII count.
  EXPECT_EQ((std::vector<std::string>{"_my__file x", "_Далее >", "< _назад"}),
            with_mnemonics({"my_file x", "Далее >", "< назад"}));
  EXPECT_EQ((std::vector<std::string>{"..."}), with_mnemonics({"..."}));
}

TEST(MnemonicsTest, EveryLanguageHasDistinctKeysForTheWindowsButtonsAndField) {
  const char* const keys[] = {"IDS_WIZARD_NEXT", "IDS_WIZARD_BACK", "IDS_WIZARD_CANCEL",
                              "IDS_WIZARD_FINISH", "IDS_TEMPLATE_CATALOG", "IDS_SUCCESS_OPENDESCR"};
  for (const auto& language : lang_table()) {
    SCOPED_TRACE(language.second.code);
    set_resource_lang(language.first);
    std::set<std::string> seen;
    for (const char* key : keys) {
      const std::string marked = mnemonic_text(key);
      const std::string letter = key_of(marked);
      EXPECT_FALSE(letter.empty()) << marked;
      EXPECT_TRUE(seen.insert(letter).second) << marked << " repeats " << letter;
      // Without its mark, the label is the translation.
      std::string plain;
      for (size_t i = 0; i < marked.size(); ++i)
        if (marked[i] != '_' || (i > 0 && marked[i - 1] == '_')) plain += marked[i];
      EXPECT_EQ(narrow_lib(LoadResString(key)), plain);
    }
  }
  set_resource_lang(LANG_EN);
  EXPECT_EQ("_Next >", mnemonic_text("IDS_WIZARD_NEXT"));
  EXPECT_EQ("< _Back", mnemonic_text("IDS_WIZARD_BACK"));
  EXPECT_EQ("_Template directory:", mnemonic_text("IDS_TEMPLATE_CATALOG"));
}

TEST(MnemonicsTest, ScreenReadersHearTheWordWithoutArrowsOrMarks) {
  EXPECT_EQ("Back", undecorated("< Back"));
  EXPECT_EQ("Next", undecorated("_Next >"));
  EXPECT_EQ("შემდეგ", undecorated("შემდეგ>"));
  EXPECT_EQ("my_file", undecorated("my__file"));
  EXPECT_EQ("Template directory:", undecorated("_Template directory:"));
  EXPECT_EQ("", undecorated(" < > "));
}

}  // namespace
