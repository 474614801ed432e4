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

// Every key with its English and Russian text, in the order in which every
// language defines them.
struct Reference {
  const char* key;
  const char* en;
  const char* ru;
};

const Reference kReference[] = {
    {"IDS_WIZARD_BACK",
     "< Back",
     "< Назад"},
    {"IDS_WIZARD_NEXT",
     "Next >",
     "Далее >"},
    {"IDS_WIZARD_FINISH",
     "Finish",
     "Готово"},
    {"IDS_WIZARD_CANCEL",
     "Cancel",
     "Отмена"},
    {"IDS_ACCEPT_CANCEL",
     "Do you really want to cancel installation?",
     "Вы действительно хотите отменить установку?"},
    {"IDS_TITLE_INSTALLER",
     "Installing configuration",
     "Установка конфигурации"},
    {"IDS_PREPARECOPY",
     "Preparing to copy...",
     "Подготовка к копированию..."},
    {"IDS_INSTALL_ERROR",
     "Installation error",
     "Ошибка при инсталляции"},
    {"IDS_ERROR_NOSOURCE",
     "Distribution kit file ovn8.okd not found.",
     "Файл комплекта установки ovn8.okd не найден."},
    {"IDS_ERROR_NOTARGET",
     "Installation of templates to the current directory is not supported.",
     "Установка в текущий каталог шаблонов не поддерживается."},
    {"IDS_ERROR_NOSPACE",
     "Insufficient space available in the directory Temp.",
     "Недостаточно места в каталоге Temp."},
    {"IDS_CHOOSEDIR_FOLDER",
     "&Folder:",
     "&Папка:"},
    {"IDS_CHOOSEDIR_TITLE",
     "Choose Directory",
     "Выбор каталога"},
    {"IDR_MAINFRAME",
     "Installing configuration",
     "Установка конфигурации"},
    {"IDS_SETUP_EMPTYTARGET",
     "Specify correct path to template directory.",
     "Укажите корректный путь к каталогу шаблонов."},
    {"IDS_INSTALL_FINISH",
     "Copying complete...",
     "Завершение копирования..."},
    {"IDS_ERROR_DAMAGEDSOURCE",
     "Distribution kit file ovn8.okd corrupted or not designed for this installation program.",
     "Файл комплекта установки ovn8.okd поврежден или не предназначен для этой программы установки."},
    {"IDS_DEFPRODUCT",
     "<Product>",
     "<Продукт>"},
    {"IDS_DEFPROVIDER",
     "<Vendor>",
     "<Поставщик>"},
    {"IDS_SUCCESS_FINISH",
     "Configuration installed successfully.",
     "Конфигурация успешно установлена."},
    {"IDS_SUCCESS_OPENDESCR",
     "Open description of distribution package",
     "Открыть описание поставки"},
    {"IDS_PROGRESS_START",
     "Files being copied...",
     "Идет копирование файлов..."},
    {"IDS_ERROR_FINISH",
     "An error occurred during the installation process. Installation canceled. Template directory has not been changed.",
     "В процессе установки произошла ошибка. Установка прервана. Каталог шаблонов не изменен."},
    {"IDS_CANCEL_FINISH",
     "Installation canceled. Template directory has not been changed.",
     "Установка отменена. Каталог шаблонов не изменен."},
    {"IDS_BROWSE_SELDIR",
     "Directory selected:",
     "Выбранный каталог:"},
    {"IDS_BROWSE_OK",
     "Select",
     "Выбрать"},
    {"IDS_BROWSE_CANCEL",
     "Cancel",
     "Отмена"},
    {"IDS_WELCOME_TITLE",
     "Welcome to the product installation program",
     "Добро пожаловать в программу установки продукта"},
    {"IDS_SETUP_EXISTEDTARGET",
     "The installation directory contains files that may be changed during the installation process. Do you want to continue?",
     "Каталог установки содержит файлы, которые могут быть изменены в процессе установки. Продолжить установку?"},
    {"IDS_DESTINATION_PROMPT",
     "Specify path to template directory. The installation program will install templates and configuration files to the specified directory.",
     "Укажите путь к каталогу шаблонов. Программа установки установит шаблоны и файлы конфигурации в указанный каталог."},
    {"IDS_TEMPLATE_CATALOG",
     "Template directory:",
     "Каталог шаблонов:"},
    {"IDS_ERROR_TARGETBUSY",
     "Another installation into this template directory is in progress. Wait until it has finished and start the installation again.",
     "Другая программа установки уже устанавливает конфигурацию в этот каталог шаблонов. Дождитесь её завершения и повторите установку."},
    {"IDS_HELP_USAGE",
     "Usage:",
     "Использование:"},
    {"IDS_HELP_USECWD",
     "look for ovn8.okd in the current directory instead of beside the program (first argument only)",
     "искать ovn8.okd в текущем каталоге, а не рядом с программой (только первым аргументом)"},
    {"IDS_HELP_SILENT",
     "silent mode: install at once, without waiting for the user",
     "тихий режим: установить сразу, не дожидаясь пользователя"},
    {"IDS_HELP_LANGUAGE",
     "interface language, CODE one of:",
     "язык интерфейса, CODE — один из:"},
    {"IDS_HELP_TARGET",
     "the template directory DIR: installed into in silent mode, proposed in the wizard",
     "каталог шаблонов DIR: в тихом режиме установка в него, в мастере он предлагается"},
    {"IDS_HELP_LOG",
     "append a log of the run to FILE",
     "дописывать журнал установки в файл FILE"},
    {"IDS_HELP_HELP",
     "show this help and exit",
     "показать эту справку и выйти"},
    {"IDS_HELP_VERSION",
     "show the version and exit",
     "показать версию и выйти"},
    {"IDS_HELP_EXIT",
     "Exit status:",
     "Код завершения:"},
    {"IDS_HELP_EXIT0",
     "installed, the directory recorded for the launcher",
     "установлено, каталог записан для программы запуска"},
    {"IDS_HELP_EXIT1",
     "a start-up check failed (kit missing or damaged, too little temporary space, no template directory, an option without its value); nothing was changed",
     "не пройдена проверка при запуске (комплект отсутствует или поврежден, мало временного места, нет каталога шаблонов, параметр без значения); ничего не изменено"},
    {"IDS_HELP_EXIT2",
     "the installation failed and was rolled back",
     "ошибка установки, изменения отменены"},
    {"IDS_HELP_EXIT3",
     "cancelled; the template directory was not changed",
     "отменено; каталог шаблонов не изменен"},
    {"IDS_HELP_EXIT4",
     "installed, but the launcher's configuration file could not be updated",
     "установлено, но файл конфигурации программы запуска не удалось обновить"},
    {"IDS_WARN_LAUNCHERFILE",
     "The configuration was installed, but the launcher's configuration file could not be updated: the launcher will not offer the new templates.",
     "Конфигурация установлена, но файл конфигурации программы запуска не удалось обновить: программа запуска не предложит новые шаблоны."},
    {"IDS_ERROR_LOGFILE",
     "The log file cannot be written; the installation continues without a log.",
     "Невозможно записать файл журнала; установка продолжается без журнала."},
    {"IDS_ERROR_OPTIONVALUE",
     "This option needs a value:",
     "Для этого параметра нужно значение:"},
    // Added keys: the buttons of message boxes and of the folder chooser,
    // and the start-up message without a display.
    {"IDS_MSGBOX_YES",
     "Yes",
     "Да"},
    {"IDS_MSGBOX_NO",
     "No",
     "Нет"},
    {"IDS_MSGBOX_OK",
     "OK",
     "ОК"},
    {"IDS_BROWSE_OPEN",
     "Open",
     "Открыть"},
    {"IDS_ERROR_NODISPLAY",
     "cannot open the display; use -S to install without one.",
     "не удаётся открыть дисплей; для установки без него используйте -S."},
    {"IDS_BROWSE_TOOLTIP",
     "Choose the template directory",
     "Выбрать каталог шаблонов"},
    {"IDS_SETUP_TARGETNOTFOLDER",
     "The path names a file, not a folder:",
     "Путь указывает на файл, а не на каталог:"},
    {"IDS_SETUP_TARGETNOTWRITABLE",
     "The template directory cannot be created or written:",
     "Каталог шаблонов невозможно создать или записать в него:"},
    {"IDS_RECOVERED_TARGET",
     "The previous installation into this directory was interrupted. The directory has been restored to the state it had before:",
     "Предыдущая установка в этот каталог была прервана. Каталог восстановлен в том виде, в каком он был до неё:"},
    {"IDS_REASON_DISKFULL",
     "No space left on the disk.",
     "На диске не осталось места."},
    {"IDS_REASON_READONLY",
     "The file system is read-only.",
     "Файловая система доступна только для чтения."},
    {"IDS_REASON_ACCESSDENIED",
     "Permission denied.",
     "Нет прав доступа."},
    {"IDS_REASON_NOTFOLDER",
     "Part of the path is a file, not a folder.",
     "Часть пути является файлом, а не каталогом."},
    {"IDS_REASON_FOLDERINPLACE",
     "A folder stands where the file must go.",
     "На месте файла находится каталог."},
    {"IDS_REASON_NAMETOOLONG",
     "The file name or path is too long.",
     "Слишком длинное имя файла или путь."},
    {"IDS_REASON_KITDAMAGED",
     "The data of the distribution kit are damaged.",
     "Данные комплекта установки повреждены."},
    {"IDS_PROGRESS_ROLLBACK",
     "Restoring the template directory...",
     "Восстановление каталога шаблонов..."},
    {"IDS_PROGRESS_COUNT",
     "{1} of {2}",
     "{1} из {2}"},
    {"IDS_SUMMARY_INSTALLED",
     "Files installed: {1}",
     "Установлено файлов: {1}"},
    {"IDS_SUMMARY_REPLACED",
     "Older copies replaced: {1}",
     "Заменено старых копий: {1}"},
    {"IDS_SUMMARY_KEPT",
     "Newer existing files kept: {1}",
     "Сохранено более новых файлов: {1}"},
    {"IDS_SPACE_INFO",
     "Needed: {1}. Free: {2}.",
     "Требуется: {1}. Свободно: {2}."},
    {"IDS_SETUP_NOSPACE",
     "There is not enough free space for the kit's files in this folder:",
     "В этом каталоге недостаточно свободного места для файлов комплекта:"},
    {"IDS_SIZE_KB",
     "{1} KB",
     "{1} КБ"},
    {"IDS_SIZE_MB",
     "{1} MB",
     "{1} МБ"},
    {"IDS_SIZE_GB",
     "{1} GB",
     "{1} ГБ"},
    {"IDS_RECOVERY_KEPT_CHANGES",
     "Files changed after the interruption were kept:",
     "Файлы, изменённые после прерывания, сохранены:"},
    {"IDS_RECOVERY_PENDING",
     "An interrupted installation into this directory will be put right when the directory is back:",
     "Прерванная установка в этот каталог будет исправлена, когда каталог снова станет доступен:"},
    {"IDS_RECOVERY_INCOMPLETE",
     "The directory could not be fully restored after an interrupted installation:",
     "Каталог не удалось полностью восстановить после прерванной установки:"},
    {"IDS_RECOVERY_CANNOTTELL",
     "The record of an interrupted installation in this directory cannot be read. The directory was left as it is:",
     "Запись о прерванной установке в этом каталоге не удаётся прочитать. Каталог оставлен как есть:"},
    {"IDS_RECOVERY_EARLIER",
     "An installation by an earlier version of this program was interrupted:",
     "Установка прежней версией программы была прервана:"},
    {"IDS_ORIGINALS_KEPT_IN",
     "The original files are kept in:",
     "Исходные файлы сохранены в:"},
    {"IDS_ROLLBACK_INCOMPLETE",
     "The template directory could not be fully restored. The original files are kept in:",
     "Каталог шаблонов не удалось полностью восстановить. Исходные файлы сохранены в:"},
    {"IDS_REASON_NAMETAKEN",
     "Another file took this name during the installation.",
     "Во время установки под этим именем появился другой файл."},
    {"IDS_REASON_BUSY",
     "Another installation into this directory, or into a folder that contains it, is running.",
     "В этот каталог или в каталог, содержащий его, уже выполняется другая установка."},
    {"IDS_REASON_STOPPEDRUN",
     "An interrupted installation in this directory could not be put right; the directory was left as it is.",
     "Прерванную установку в этом каталоге не удалось исправить; каталог оставлен как есть."},
    {"IDS_REASON_OWNNAME",
     "The installation wizard keeps its own files under this name.",
     "Это имя программа установки использует для своих служебных файлов."},
    {"IDS_ERROR_TARGETNAME",
     "The template directory's name is not valid in the character set of the locale:",
     "Имя каталога шаблонов недопустимо в кодировке текущей локали:"},
    {"IDS_REASON_NOTFOUND",
     "The file or folder was not found.",
     "Файл или каталог не найден."},
    {"IDS_REASON_NOTSUPPORTED",
     "The file system does not allow this operation.",
     "Файловая система не допускает эту операцию."},
    {"IDS_REASON_IO",
     "The disk reported a read or write error.",
     "Диск сообщил об ошибке чтения или записи."},
    {"IDS_REASON_OTHER",
     "The operation failed (code {1}).",
     "Операция не выполнена (код {1})."},
    {"IDS_KIT_FILEDAMAGED",
     "The file {1} in the kit is damaged.",
     "Файл {1} в комплекте установки поврежден."},
    {"IDS_KIT_BADNAME",
     "The kit holds a file name that cannot be installed.",
     "Комплект установки содержит имя файла, которое нельзя установить."},
    {"IDS_KIT_LOOKED_AT",
     "The wizard looked for it here:",
     "Мастер искал его здесь:"},
    {"IDS_BOX_ERROR",
     "Error",
     "Ошибка"},
    {"IDS_BOX_QUESTION",
     "Question",
     "Вопрос"},
    {"IDS_BOX_WARNING",
     "Warning",
     "Предупреждение"},
    {"IDS_BOX_NOTICE",
     "Information",
     "Сообщение"},
    {"IDS_SUCCESS_LAUNCHERNOTE",
     "The launcher's configuration file could not be updated.",
     "Файл конфигурации программы запуска не удалось обновить."},
};

// The four wizard button labels per language: Back, Next, Finish, Cancel.
struct Buttons {
  const char* code;
  const char* back;
  const char* next;
  const char* finish;
  const char* cancel;
};

const Buttons kButtons[] = {
    {"ru", "< Назад", "Далее >", "Готово", "Отмена"},
    {"uk", "< Попередня", "Наступна >", "ОК", "Відмінити"},
    {"en", "< Back", "Next >", "Finish", "Cancel"},
    {"lv", "< Atpakaļ", "Tālāk >", "Gatavs", "Atcelt"},
    {"lt", "< Atgal", "Toliau >", "Atlikta", "Atsisakyti"},
    {"bg", "< Назад", "Напред >", "Готово", "Отказ"},
    {"de", "< Zurück", "Weiter >", "Fertig", "Abbrechen"},
    {"ro", "< Înapoi", "Înainte >", "Finalizare", "Revocare"},
    {"ka", "< უკან", "შემდეგ>", "მზადაა", "გაუქმება"},
    {"kk", "< Артқа", "Әрі қарай >", "Дайын", "Доғар"},
    {"vi", "< Quay lại", "Tiếp theo >", "Đồng ý", "Hủy bỏ"},
    {"tr", "< Geri", "İleri >", "Tamam", "İptal"},
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

TEST(LangTextsTest, EveryLanguageHasAllKeysInOrderAsWellFormedText) {
  ASSERT_EQ(static_cast<size_t>(kLangKeyCount),
            sizeof(kReference) / sizeof(kReference[0]));
  std::set<std::string> reference_keys;
  for (const Reference& r : kReference) reference_keys.insert(r.key);
  ASSERT_EQ(static_cast<size_t>(kLangKeyCount), reference_keys.size());

  std::set<const LangText*> distinct_arrays;
  for (const LangArray& lang : kArrays) {
    SCOPED_TRACE(lang.code);
    distinct_arrays.insert(lang.texts);
    std::set<std::string> seen;
    for (int i = 0; i < kLangKeyCount; ++i) {
      SCOPED_TRACE(kReference[i].key);
      ASSERT_NE(nullptr, lang.texts[i].key);
      ASSERT_NE(nullptr, lang.texts[i].text);
      EXPECT_STREQ(kReference[i].key, lang.texts[i].key);
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

TEST(LangTextsTest, EnglishAndRussianAreTheReferenceTexts) {
  for (int i = 0; i < kLangKeyCount; ++i) {
    SCOPED_TRACE(kReference[i].key);
    EXPECT_EQ(std::string(kReference[i].en), kLangTextsEn[i].text);
    EXPECT_EQ(std::string(kReference[i].ru), kLangTextsRu[i].text);
  }
}

TEST(LangTextsTest, ButtonLabelsMatchTheTableByteForByte) {
  ASSERT_EQ(sizeof(kArrays) / sizeof(kArrays[0]),
            sizeof(kButtons) / sizeof(kButtons[0]));
  for (size_t i = 0; i < sizeof(kArrays) / sizeof(kArrays[0]); ++i) {
    const LangArray& lang = kArrays[i];
    const Buttons& b = kButtons[i];
    SCOPED_TRACE(lang.code);
    ASSERT_STREQ(b.code, lang.code);
    EXPECT_EQ(std::string(b.back), text_of(lang.texts, "IDS_WIZARD_BACK"));
    EXPECT_EQ(std::string(b.next), text_of(lang.texts, "IDS_WIZARD_NEXT"));
    EXPECT_EQ(std::string(b.finish), text_of(lang.texts, "IDS_WIZARD_FINISH"));
    EXPECT_EQ(std::string(b.cancel), text_of(lang.texts, "IDS_WIZARD_CANCEL"));
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
