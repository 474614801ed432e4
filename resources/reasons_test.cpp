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

TEST_F(ReasonsTest, OtherCausesGiveTheSystemsMessageAndNumber) {
  set_resource_lang(LANG_DE);
  EXPECT_EQ(widen_lib(system_message(EIO) + " (errno " + std::to_string(EIO) + ")"),
            failure_reason(errorFromErrNo(EIO)));
  EXPECT_NE(std::u16string::npos, failure_reason(errorFromErrNo(EIO)).find(u"(errno 5)"));
  // A number of our own without a text: its meaning and number.
  EXPECT_EQ(u"not permitted or invalid (error 87)", failure_reason(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(u"error (error 4711)", failure_reason(4711));
}

}  // namespace
