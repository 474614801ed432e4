// Checks of the literal interface texts: every language carries the same
// keys in the same order, the texts are well-formed UTF-8 that fits the
// wizard's controls, and the texts other code relies on hold their promises.
#include "resources/lang_texts.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

struct LangArray {
  const char* code;
  const LangText* texts;
};

const LangArray kArrays[] = {
    {"ru", kLangTextsRu}, {"uk", kLangTextsUk}, {"en", kLangTextsEn},
    {"lv", kLangTextsLv}, {"lt", kLangTextsLt}, {"bg", kLangTextsBg},
    {"de", kLangTextsDe}, {"ro", kLangTextsRo}, {"ka", kLangTextsKa},
    {"kk", kLangTextsKk}, {"vi", kLangTextsVi}, {"tr", kLangTextsTr},
};

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF) into code points; false on any malformed sequence.
bool decode_utf8(const std::string& s, std::vector<uint32_t>* out) {
  out->clear();
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra;
    uint32_t cp;
    uint32_t min;
    if (c < 0x80) {
      extra = 0; cp = c; min = 0;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1; cp = c & 0x1F; min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2; cp = c & 0x0F; min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3; cp = c & 0x07; min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i <= static_cast<size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    out->push_back(cp);
    i += extra + 1;
  }
  return true;
}

const char* text_of(const LangText* texts, const std::string& key) {
  for (int i = 0; i < kLangKeyCount; ++i) {
    if (key == texts[i].key) return texts[i].text;
  }
  ADD_FAILURE() << "no text for " << key;
  return "";
}

size_t code_points(const std::string& s) {
  std::vector<uint32_t> cps;
  return decode_utf8(s, &cps) ? cps.size() : s.size();
}

TEST(LangTextsTest, Utf8DecoderRejectsMalformedInput) {
  std::vector<uint32_t> cps;
  EXPECT_TRUE(decode_utf8("a\xD0\x9F\xE1\x83\x90\xF0\x9F\x98\x80", &cps));
  EXPECT_EQ((std::vector<uint32_t>{0x61, 0x41F, 0x10D0, 0x1F600}), cps);
  EXPECT_FALSE(decode_utf8("\xD0", &cps));              // cut short
  EXPECT_FALSE(decode_utf8("\xE1\x83", &cps));          // cut short
  EXPECT_FALSE(decode_utf8("\xC0\xAF", &cps));          // overlong "/"
  EXPECT_FALSE(decode_utf8("\xE0\x80\xAF", &cps));      // overlong "/"
  EXPECT_FALSE(decode_utf8("\xED\xA0\x80", &cps));      // surrogate
  EXPECT_FALSE(decode_utf8("\xF4\x90\x80\x80", &cps));  // above U+10FFFF
  EXPECT_FALSE(decode_utf8("\x9F", &cps));              // stray continuation
  EXPECT_FALSE(decode_utf8("\xD0\x41", &cps));          // bad continuation
  EXPECT_FALSE(decode_utf8("\xFF", &cps));
}

// English is the reference language: every other one carries its keys in
// its order.
TEST(LangTextsTest, EveryLanguageHasAllKeysInOrderAsWellFormedText) {
  std::set<std::string> english_keys;
  for (int i = 0; i < kLangKeyCount; ++i) {
    ASSERT_NE(nullptr, kLangTextsEn[i].key);
    const std::string key = kLangTextsEn[i].key;
    EXPECT_TRUE(key.compare(0, 4, "IDS_") == 0 || key.compare(0, 4, "IDR_") == 0) << key;
    english_keys.insert(key);
  }
  ASSERT_EQ(static_cast<size_t>(kLangKeyCount), english_keys.size()) << "a key comes twice";

  std::set<const LangText*> distinct_arrays;
  for (const LangArray& lang : kArrays) {
    SCOPED_TRACE(lang.code);
    distinct_arrays.insert(lang.texts);
    std::set<std::string> seen;
    for (int i = 0; i < kLangKeyCount; ++i) {
      SCOPED_TRACE(kLangTextsEn[i].key);
      ASSERT_NE(nullptr, lang.texts[i].key);
      ASSERT_NE(nullptr, lang.texts[i].text);
      EXPECT_STREQ(kLangTextsEn[i].key, lang.texts[i].key);
      EXPECT_TRUE(seen.insert(lang.texts[i].key).second) << "duplicate key";

      const std::string text = lang.texts[i].text;
      std::vector<uint32_t> cps;
      EXPECT_FALSE(text.empty());
      EXPECT_TRUE(decode_utf8(text, &cps)) << "not valid UTF-8: " << text;
      for (uint32_t cp : cps) {
        // Control characters would break the labels; combining accents mean
        // decomposed text where the precomposed letters are wanted.
        EXPECT_FALSE(cp < 0x20 || cp == 0x7F) << "control character in " << text;
        EXPECT_FALSE(cp >= 0x300 && cp <= 0x36F) << "combining mark in " << text;
      }
      EXPECT_EQ(std::string::npos, text.find('%')) << text;
      EXPECT_NE(' ', text.front()) << text;
      EXPECT_NE(' ', text.back()) << text;
      EXPECT_EQ(std::string::npos, text.find("  ")) << text;
    }
  }
  EXPECT_EQ(sizeof(kArrays) / sizeof(kArrays[0]), distinct_arrays.size());
}

// The wizard's buttons: Back points back, Next forward, and no two of the
// four read alike.
TEST(LangTextsTest, ButtonLabelsPointTheirWayAndDiffer) {
  for (const LangArray& lang : kArrays) {
    SCOPED_TRACE(lang.code);
    const std::string back = text_of(lang.texts, "IDS_WIZARD_BACK");
    const std::string next = text_of(lang.texts, "IDS_WIZARD_NEXT");
    const std::string finish = text_of(lang.texts, "IDS_WIZARD_FINISH");
    const std::string cancel = text_of(lang.texts, "IDS_WIZARD_CANCEL");
    EXPECT_EQ(0u, back.find("< ")) << back;
    EXPECT_EQ(std::string::npos, back.find('>')) << back;
    ASSERT_GT(next.size(), 2u);
    EXPECT_EQ('>', next.back()) << next;
    EXPECT_EQ(std::string::npos, next.find('<')) << next;
    for (const std::string& plain : {finish, cancel})
      EXPECT_EQ(std::string::npos, plain.find_first_of("<>")) << plain;
    EXPECT_EQ(4u, std::set<std::string>({back, next, finish, cancel}).size());
    for (const std::string& label : {back, next, finish, cancel})
      EXPECT_LE(code_points(label), 14u) << label;
  }
  // The two labels that are easy to get subtly wrong, spelled out in bytes:
  // Ukrainian Finish is Cyrillic U+041E U+041A, Georgian Next has no blank.
  EXPECT_EQ(std::string("\xD0\x9E\xD0\x9A"), text_of(kLangTextsUk, "IDS_WIZARD_FINISH"));
  EXPECT_EQ(std::string("\xE1\x83\xA8\xE1\x83\x94\xE1\x83\x9B\xE1\x83\x93"
                        "\xE1\x83\x94\xE1\x83\x92>"),
            text_of(kLangTextsKa, "IDS_WIZARD_NEXT"));
}

TEST(LangTextsTest, TextsKeepThePromisesOtherCodeReliesOn) {
  for (const LangArray& lang : kArrays) {
    SCOPED_TRACE(lang.code);
    const LangText* t = lang.texts;
    EXPECT_STREQ(text_of(t, "IDS_TITLE_INSTALLER"), text_of(t, "IDR_MAINFRAME"));
    EXPECT_STREQ(text_of(t, "IDS_WIZARD_CANCEL"), text_of(t, "IDS_BROWSE_CANCEL"));
    for (const char* key : {"IDS_ERROR_NOSOURCE", "IDS_ERROR_DAMAGEDSOURCE"}) {
      EXPECT_NE(std::string::npos, std::string(text_of(t, key)).find("ovn8.okd"))
          << key;
    }
    for (const char* key : {"IDS_DEFPRODUCT", "IDS_DEFPROVIDER"}) {
      const std::string s = text_of(t, key);
      ASSERT_GT(s.size(), 2u) << key;
      EXPECT_EQ('<', s.front()) << key;
      EXPECT_EQ('>', s.back()) << key;
      EXPECT_EQ(s.size() - 1, s.find_first_of("<>", 1)) << key << ": " << s;
    }
    // Exactly one mnemonic marker, and it stands before a letter.
    const std::string folder = text_of(t, "IDS_CHOOSEDIR_FOLDER");
    const size_t amp = folder.find('&');
    ASSERT_NE(std::string::npos, amp);
    EXPECT_EQ(std::string::npos, folder.find('&', amp + 1)) << folder;
    std::vector<uint32_t> after;
    ASSERT_TRUE(decode_utf8(folder.substr(amp + 1), &after));
    ASSERT_FALSE(after.empty());
    const uint32_t c = after.front();
    EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0xC0)
        << folder;
    // No other text carries a mnemonic marker.
    for (int i = 0; i < kLangKeyCount; ++i) {
      if (std::string(t[i].key) == "IDS_CHOOSEDIR_FOLDER") continue;
      EXPECT_EQ(std::string::npos, std::string(t[i].text).find('&')) << t[i].key;
    }
  }
}

TEST(LangTextsTest, TranslationsAreTranslatedAndFitTheirControls) {
  // Texts shown on one line of the 480-pixel window while copying.
  const std::set<std::string> one_line = {"IDS_PREPARECOPY", "IDS_INSTALL_FINISH",
                                          "IDS_PROGRESS_START", "IDS_PROGRESS_ROLLBACK"};
  for (const LangArray& lang : kArrays) {
    SCOPED_TRACE(lang.code);
    for (int i = 0; i < kLangKeyCount; ++i) {
      SCOPED_TRACE(kLangTextsEn[i].key);
      const std::string en = kLangTextsEn[i].text;
      const std::string text = lang.texts[i].text;
      const size_t en_len = code_points(en);
      const size_t len = code_points(text);
      if (en_len >= 30) {
        // A sentence: an untranslated copy means a forgotten translation,
        // and far more text than the English would overflow the wrapping
        // 330 x 250 label.
        if (lang.texts != kLangTextsEn) {
          EXPECT_NE(en, text);
        }
        EXPECT_LE(len * 2, en_len * 3) << text;
        EXPECT_GE(len * 2, en_len) << text;
      }
      if (one_line.count(lang.texts[i].key)) {
        EXPECT_LE(len, 45u) << text;
      }
    }
  }
}

TEST(LangTextsTest, BoxButtonsAndSentencesReadRightInEveryLanguage) {
  for (const LangArray& lang : kArrays) {
    SCOPED_TRACE(lang.code);
    const LangText* t = lang.texts;
    // Yes and No must differ, or a question could not be answered.
    EXPECT_STRNE(text_of(t, "IDS_MSGBOX_YES"), text_of(t, "IDS_MSGBOX_NO"));
    for (const char* key : {"IDS_MSGBOX_YES", "IDS_MSGBOX_NO", "IDS_MSGBOX_OK", "IDS_BROWSE_OPEN"}) {
      EXPECT_LE(code_points(text_of(t, key)), 12u) << key;
    }
    // The display message names the option that helps, as typed.
    EXPECT_NE(std::string::npos, std::string(text_of(t, "IDS_ERROR_NODISPLAY")).find(" -S"));
    // The product is appended to the welcome sentence: where the verb ends
    // the sentence, the text closes it and introduces the product instead.
    const std::string welcome = text_of(t, "IDS_WELCOME_TITLE");
    const std::string code = lang.code;
    if (code == "tr" || code == "kk" || code == "ka") {
      EXPECT_EQ(':', welcome.back()) << welcome;
      EXPECT_NE(std::string::npos, welcome.find(". ")) << welcome;
    } else {
      EXPECT_EQ(std::string::npos, welcome.find_first_of(".:")) << welcome;
    }
  }
  // One word for "install" throughout a language.
  for (int i = 0; i < kLangKeyCount; ++i) {
    SCOPED_TRACE(kLangTextsTr[i].key);
    const std::string tr = kLangTextsTr[i].text;
    EXPECT_EQ(std::string::npos, tr.find("yükle")) << tr;
    EXPECT_EQ(std::string::npos, tr.find("Yükle")) << tr;
    const std::string lv = kLangTextsLv[i].text;
    EXPECT_EQ(std::string::npos, lv.find("nstalācij")) << lv;
  }
  EXPECT_NE(std::string::npos,
            std::string(text_of(kLangTextsUk, "IDS_SETUP_EXISTEDTARGET")).find("які може бути змінено"));
}

// The markers {1}, {2}, ... that format_text fills in, in order of appearance.
std::multiset<std::string> markers_of(const std::string& text) {
  std::multiset<std::string> found;
  for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
    const size_t close = text.find('}', at);
    found.insert(close == std::string::npos ? text.substr(at) : text.substr(at, close - at + 1));
  }
  return found;
}

TEST(LangTextsTest, EveryTranslationFillsInTheMarkersOfTheEnglishText) {
  const std::set<std::string> numbers = {"{1}", "{2}"};
  for (int i = 0; i < kLangKeyCount; ++i) {
    SCOPED_TRACE(kLangTextsEn[i].key);
    const std::multiset<std::string> english = markers_of(kLangTextsEn[i].text);
    for (const std::string& marker : english) EXPECT_TRUE(numbers.count(marker)) << marker;
    for (const LangArray& lang : kArrays) {
      SCOPED_TRACE(lang.code);
      EXPECT_EQ(english, markers_of(lang.texts[i].text)) << lang.texts[i].text;
    }
  }
  // The texts that carry numbers say so; every other text is shown as it is.
  for (const char* key : {"IDS_PROGRESS_COUNT", "IDS_SPACE_INFO"})
    EXPECT_EQ(2u, markers_of(text_of(kLangTextsEn, key)).size()) << key;
  for (const char* key : {"IDS_SUMMARY_INSTALLED", "IDS_SUMMARY_REPLACED", "IDS_SUMMARY_KEPT",
                          "IDS_SIZE_KB", "IDS_SIZE_MB", "IDS_SIZE_GB"})
    EXPECT_EQ(1u, markers_of(text_of(kLangTextsEn, key)).size()) << key;
}

}  // namespace
