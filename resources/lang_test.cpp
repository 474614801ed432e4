// The lookup API of the language table. The texts themselves and the facts
// of the table are checked in lang_texts_test.cpp.
#include "resources/lang.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace {

// Looked up during ordinary static initialisation, before main and before
// anything sets a language: the table (priority 101) already exists and the
// current language is English.
const std::u16string kNextBeforeAnySet = LoadResString("IDS_WIZARD_NEXT");
const LangIdType kLanguageBeforeAnySet = get_resource_lang();

// Every test leaves English current, as the process starts.
class LangTest : public testing::Test {
 protected:
  void TearDown() override { set_resource_lang(LANG_EN); }
};

TEST_F(LangTest, EnglishBeforeAnySet) {
  EXPECT_EQ(kLanguageBeforeAnySet, LANG_EN);
  EXPECT_EQ(kNextBeforeAnySet, u"Next >");
}

TEST_F(LangTest, RussianAfterSettingOne) {
  set_resource_lang(static_cast<LangIdType>(1));
  EXPECT_EQ(get_resource_lang(), LANG_RU);
  EXPECT_EQ(LoadResString("IDS_WIZARD_NEXT"), u"Далее >");
  EXPECT_EQ(LoadResString("IDR_MAINFRAME"), u"Установка конфигурации");
  set_resource_lang(LANG_EN);
  EXPECT_EQ(LoadResString("IDS_WIZARD_NEXT"), u"Next >");
}

TEST_F(LangTest, EveryLanguageAnswersInItsOwnTexts) {
  EXPECT_EQ(lang_table().size(), 12u);
  for (const auto& entry : lang_table()) {
    set_resource_lang(entry.first);
    for (const auto& text : entry.second.texts) {
      const std::u16string wide = LoadResString(text.first);
      EXPECT_FALSE(wide.empty()) << entry.second.code << " " << text.first;
      EXPECT_EQ(utf16_to_utf8(wide), text.second) << entry.second.code << " " << text.first;
    }
  }
}

TEST_F(LangTest, UnknownKeyIsEmptyInEveryLanguage) {
  for (int id = 1; id <= 12; ++id) {
    set_resource_lang(static_cast<LangIdType>(id));
    EXPECT_EQ(LoadResString("IDS_NO_SUCH_KEY"), u"") << id;
    EXPECT_EQ(LoadResString(""), u"") << id;
    EXPECT_EQ(LoadResString("ids_wizard_next"), u"") << id;  // keys are case-sensitive
    EXPECT_EQ(LoadResString("IDS_WIZARD_NEXT "), u"") << id;
  }
}

TEST_F(LangTest, LanguageOutsideTheTableGivesEmptyTexts) {
  for (int id : {0, 13}) {
    set_resource_lang(static_cast<LangIdType>(id));
    EXPECT_EQ(LoadResString("IDS_WIZARD_NEXT"), u"") << id;
    EXPECT_EQ(LoadResString("IDR_MAINFRAME"), u"") << id;
  }
}

TEST_F(LangTest, NoFallbackToEnglish) {
  // Every language has every key, so a key missing in one language can only
  // be simulated by an id outside the table: it must not fall back.
  set_resource_lang(LANG_NONE);
  EXPECT_EQ(LoadResString("IDS_WIZARD_CANCEL"), u"");
}

TEST_F(LangTest, CodeLookup) {
  EXPECT_EQ(get_lang_id_by_lang_code("tr"), 12);
  EXPECT_EQ(get_lang_id_by_lang_code("en"), 3);
  EXPECT_EQ(get_lang_id_by_lang_code("ru"), 1);
  EXPECT_EQ(get_lang_id_by_lang_code("de"), 7);
  EXPECT_EQ(get_lang_id_by_lang_code("EN"), 0);
  EXPECT_EQ(get_lang_id_by_lang_code("e"), 0);
  EXPECT_EQ(get_lang_id_by_lang_code("eng"), 0);
  EXPECT_EQ(get_lang_id_by_lang_code(""), 0);
  EXPECT_EQ(get_lang_id_by_lang_code(std::string("en\0", 3)), 0);
}

TEST_F(LangTest, CodesAndIdsOfTheTable) {
  const char* codes[] = {"ru", "uk", "en", "lv", "lt", "bg", "de", "ro", "ka", "kk", "vi", "tr"};
  int id = 1;
  for (const auto& entry : lang_table()) {  // ascending order of identifier
    EXPECT_EQ(entry.first, id);
    EXPECT_EQ(entry.second.code, codes[id - 1]);
    EXPECT_EQ(get_lang_id_by_lang_code(codes[id - 1]), id);
    ++id;
  }
  EXPECT_EQ(id, 13);
}

TEST_F(LangTest, LookupIsNotCachedAndFollowsTheLanguage) {
  set_resource_lang(LANG_DE);
  const std::u16string de = LoadResString("IDS_WIZARD_CANCEL");
  set_resource_lang(LANG_TR);
  const std::u16string tr = LoadResString("IDS_WIZARD_CANCEL");
  EXPECT_EQ(de, u"Abbrechen");
  EXPECT_EQ(tr, u"İptal");
}

TEST_F(LangTest, EachIdAnswersWithItsOwnLanguage) {
  // Catches a text array paired with the wrong identifier.
  const char16_t* next[] = {u"Далее >", u"Наступна >", u"Next >", u"Tālāk >",
                            u"Toliau >", u"Напред >", u"Weiter >", u"Înainte >",
                            u"შემდეგ>", u"Әрі қарай >", u"Tiếp theo >", u"İleri >"};
  for (int id = 1; id <= 12; ++id) {
    set_resource_lang(static_cast<LangIdType>(id));
    EXPECT_EQ(LoadResString("IDS_WIZARD_NEXT"), next[id - 1]) << id;
  }
}

TEST_F(LangTest, FormatTextFillsMarkersInTheLanguagesOrder) {
  EXPECT_EQ(u"3 of 7", format_text(u"{1} of {2}", {u"3", u"7"}));
  EXPECT_EQ(u"7-დან 3", format_text(u"{2}-დან {1}", {u"3", u"7"}));
  // A value that looks like a marker is not filled in again.
  EXPECT_EQ(u"{2} and x", format_text(u"{1} and {2}", {u"{2}", u"x"}));
  // Missing arguments and stray braces stay as they are.
  EXPECT_EQ(u"a {2} {x} {", format_text(u"{1} {2} {x} {", {u"a"}));
  set_resource_lang(LANG_RU);
  EXPECT_EQ(u"12 из 40", FormatResString("IDS_PROGRESS_COUNT", {u"12", u"40"}));
}

}  // namespace
TEST_F(LangTest, SizesReadInWholeUnitsOfTheInterfaceLanguage) {
  EXPECT_EQ(u"0 KB", sizeText(0, true));
  EXPECT_EQ(u"1 KB", sizeText(1, true));
  EXPECT_EQ(u"0 KB", sizeText(1, false));
  EXPECT_EQ(u"1023 KB", sizeText(1023 * 1024 + 1, false));
  EXPECT_EQ(u"2 MB", sizeText(1536 * 1024, true));
  EXPECT_EQ(u"1 MB", sizeText(1536 * 1024, false));
  EXPECT_EQ(u"10239 MB", sizeText((10ull << 30) - 1, false));
  EXPECT_EQ(u"20 GB", sizeText(20ull << 30, true));
  set_resource_lang(LANG_RU);
  EXPECT_EQ(u"12 МБ", sizeText(12ull << 20, true));
  set_resource_lang(LANG_EN);
}

