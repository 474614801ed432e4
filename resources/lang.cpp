#include "resources/lang.h"

#include <atomic>

#include "memory/memory_manager.h"
#include "platform/text.h"
#include "resources/lang_texts.h"

namespace {

// Constructed before any member of the table holder, so the memory manager
// exists before the table's first allocation, whatever the link order.
struct MemoryManagerFirst {
  MemoryManagerFirst() { create_memory_manager(); }
};

struct LangTableHolder : MemoryManagerFirst {
  LangTable table;

  LangTableHolder() {
    static const struct {
      LangIdType id;
      const char* code;
      const LangText* texts;
    } kLanguages[] = {
        {LANG_RU, "ru", kLangTextsRu}, {LANG_UK, "uk", kLangTextsUk},
        {LANG_EN, "en", kLangTextsEn}, {LANG_LV, "lv", kLangTextsLv},
        {LANG_LT, "lt", kLangTextsLt}, {LANG_BG, "bg", kLangTextsBg},
        {LANG_DE, "de", kLangTextsDe}, {LANG_RO, "ro", kLangTextsRo},
        {LANG_KA, "ka", kLangTextsKa}, {LANG_KK, "kk", kLangTextsKk},
        {LANG_VI, "vi", kLangTextsVi}, {LANG_TR, "tr", kLangTextsTr},
    };
    for (const auto& language : kLanguages) {
      LangInfo info;
      info.code = language.code;
      // insert: a key that is already present keeps its first text.
      for (int i = 0; i < kLangKeyCount; ++i) {
        info.texts.insert(std::make_pair(std::string(language.texts[i].key),
                                         std::string(language.texts[i].text)));
      }
      table.insert(std::make_pair(language.id, std::move(info)));
    }
  }
};

// The earliest group of static initialisation; destroyed at process exit.
LangTableHolder g_langTable __attribute__((init_priority(101)));

std::atomic<int> g_resourceLang{LANG_EN};

}  // namespace

const LangTable& lang_table() { return g_langTable.table; }

LangIdType get_lang_id_by_lang_code(const std::string& code) {
  for (const auto& entry : g_langTable.table) {
    if (entry.second.code == code) return entry.first;
  }
  return LANG_NONE;
}

void set_resource_lang(LangIdType id) {
  g_resourceLang.store(static_cast<int>(id), std::memory_order_relaxed);
}

LangIdType get_resource_lang() {
  return static_cast<LangIdType>(g_resourceLang.load(std::memory_order_relaxed));
}

std::u16string LoadResString(const std::string& key) {
  const auto language = g_langTable.table.find(get_resource_lang());
  if (language == g_langTable.table.end()) return std::u16string();
  const auto text = language->second.texts.find(key);
  if (text == language->second.texts.end()) return std::u16string();
  return widen_lib(text->second);
}

std::u16string format_text(const std::u16string& text,
                           std::initializer_list<std::u16string> arguments) {
  std::u16string result;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool marker = text[i] == u'{' && i + 2 < text.size() && text[i + 1] >= u'1' &&
                        text[i + 1] <= u'9' && text[i + 2] == u'}';
    const size_t which = marker ? size_t(text[i + 1] - u'1') : 0;
    if (marker && which < arguments.size()) {
      result += *(arguments.begin() + which);
      i += 2;
    } else {
      result += text[i];
    }
  }
  return result;
}

std::u16string FormatResString(const std::string& key,
                               std::initializer_list<std::u16string> arguments) {
  return format_text(LoadResString(key), arguments);
}

std::u16string sizeText(uint64_t bytes, bool roundUp) {
  const uint64_t kKilo = 1024, kMega = kKilo * 1024, kGiga = kMega * 1024;
  const char* key = "IDS_SIZE_GB";
  uint64_t unit = kGiga;
  if (bytes < kMega) {
    key = "IDS_SIZE_KB";
    unit = kKilo;
  } else if (bytes < 10 * kGiga) {
    key = "IDS_SIZE_MB";
    unit = kMega;
  }
  const uint64_t whole = bytes / unit + (roundUp && bytes % unit != 0 ? 1 : 0);
  return FormatResString(key, {widen_lib(std::to_string(whole))});
}
