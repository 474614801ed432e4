// The reasons the user reads: our own texts in the interface language for
// the causes that have one, the system's message and number otherwise.
#include "resources/reasons.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "resources/lang.h"

namespace {

class ReasonsTest : public testing::Test {
 protected:
  void TearDown() override { set_resource_lang(LANG_EN); }
};

TEST_F(ReasonsTest, CausesFromTheSystemReadInTheInterfaceLanguage) {
  struct Case {
    int errnoValue;
    const char16_t* english;
    const char16_t* german;
  };
  const Case cases[] = {
      {ENOSPC, u"No space left on the disk.", u"Auf dem Datenträger ist kein Platz mehr frei."},
      {EDQUOT, u"No space left on the disk.", u"Auf dem Datenträger ist kein Platz mehr frei."},
      {EROFS, u"The file system is read-only.", u"Das Dateisystem ist schreibgeschützt."},
      {EACCES, u"Permission denied.", u"Zugriff verweigert."},
      {EPERM, u"Permission denied.", u"Zugriff verweigert."},
      {ENOTDIR, u"Part of the path is a file, not a folder.",
       u"Ein Teil des Pfads ist eine Datei, kein Ordner."},
      {EISDIR, u"A folder stands where the file must go.",
       u"An der Stelle der Datei steht ein Ordner."},
      {ENAMETOOLONG, u"The file name or path is too long.", u"Der Dateiname oder Pfad ist zu lang."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errnoValue);
    const uint32_t error = errorFromErrNo(c.errnoValue);
    set_resource_lang(LANG_EN);
    EXPECT_EQ(c.english, failure_reason(error));
    set_resource_lang(LANG_DE);
    EXPECT_EQ(c.german, failure_reason(error));
  }
  // Every language has its own words for every cause.
  for (const auto& language : lang_table()) {
    set_resource_lang(language.first);
    for (uint32_t error : std::initializer_list<uint32_t>{ERROR_DISK_FULL, ERROR_WRITE_PROTECT, ERROR_ACCESS_DENIED,
                           ERROR_NOT_A_FOLDER, ERROR_DIRECTORY, ERROR_FILENAME_EXCED_RANGE,
                           ERROR_INVALID_DATA}) {
      const std::u16string reason = failure_reason(error);
      EXPECT_FALSE(reason.empty()) << language.second.code << " " << error;
      EXPECT_EQ(std::u16string::npos, reason.find(u"error")) << language.second.code;
    }
  }
}

TEST_F(ReasonsTest, DamagedKitDataHasItsOwnText) {
  set_resource_lang(LANG_RU);
  EXPECT_EQ(u"Данные комплекта установки повреждены.", failure_reason(ERROR_INVALID_DATA));
}

// What a user meets when the world changes under a run (the template
// directory moved away, an odd file system) reads in the interface
// language too, never as a developer's English with a Windows number.
TEST_F(ReasonsTest, EveryOtherCauseReadsInTheInterfaceLanguageWithItsNumber) {
  set_resource_lang(LANG_DE);
  EXPECT_EQ(u"Die Datei oder der Ordner wurde nicht gefunden.", failure_reason(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(failure_reason(ERROR_FILE_NOT_FOUND), failure_reason(errorFromErrNo(ENOENT)));
  EXPECT_EQ(failure_reason(ERROR_FILE_NOT_FOUND), failure_reason(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(u"Das Dateisystem erlaubt diesen Vorgang nicht.", failure_reason(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(u"Der Datenträger meldete einen Lese- oder Schreibfehler.", failure_reason(errorFromErrNo(EIO)));
  EXPECT_EQ(u"Der Vorgang ist fehlgeschlagen (Code 4711).", failure_reason(4711));
  EXPECT_EQ(u"Der Vorgang ist fehlgeschlagen (Code " + widen_lib(std::to_string(EPROTO)) + u").",
            failure_reason(errorFromErrNo(EPROTO)));
  const std::u16string english = [] {
    set_resource_lang(LANG_EN);
    return failure_reason(4711) + failure_reason(ERROR_INVALID_PARAMETER) + failure_reason(ERROR_FILE_NOT_FOUND);
  }();
  for (const auto& language : lang_table()) {
    set_resource_lang(language.first);
    for (uint32_t error : {uint32_t(ERROR_FILE_NOT_FOUND), uint32_t(ERROR_INVALID_PARAMETER),
                           uint32_t(ERROR_NOT_SUPPORTED), errorFromErrNo(EIO), uint32_t(4711),
                           errorFromErrNo(EPROTO)}) {
      const std::u16string reason = failure_reason(error);
      EXPECT_FALSE(reason.empty()) << language.second.code << " " << error;
      EXPECT_EQ(std::u16string::npos, reason.find(u"(error")) << language.second.code;
      EXPECT_EQ(std::u16string::npos, reason.find(u"errno")) << language.second.code;
      EXPECT_EQ(std::u16string::npos, reason.find(u"{1}")) << language.second.code;
      if (language.first != LANG_EN) {
        EXPECT_EQ(std::u16string::npos, english.find(reason)) << language.second.code;
      }
    }
  }
}

}  // namespace
