// The literal texts of every interface language, one array per language,
// each holding all keys in the same order.
#ifndef OVN8_RESOURCES_LANG_TEXTS_H_
#define OVN8_RESOURCES_LANG_TEXTS_H_

struct LangText {
  const char* key;   // ASCII resource key such as "IDS_WIZARD_NEXT"
  const char* text;  // UTF-8
};

constexpr int kLangKeyCount = 143;

extern const LangText kLangTextsRu[kLangKeyCount];
extern const LangText kLangTextsUk[kLangKeyCount];
extern const LangText kLangTextsEn[kLangKeyCount];
extern const LangText kLangTextsLv[kLangKeyCount];
extern const LangText kLangTextsLt[kLangKeyCount];
extern const LangText kLangTextsBg[kLangKeyCount];
extern const LangText kLangTextsDe[kLangKeyCount];
extern const LangText kLangTextsRo[kLangKeyCount];
extern const LangText kLangTextsKa[kLangKeyCount];
extern const LangText kLangTextsKk[kLangKeyCount];
extern const LangText kLangTextsVi[kLangKeyCount];
extern const LangText kLangTextsTr[kLangKeyCount];

#endif  // OVN8_RESOURCES_LANG_TEXTS_H_
