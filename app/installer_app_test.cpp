// CInstallerApp's start-up up to the dialog, without a display.
#include "app/installer_app.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/message_box.h"

namespace {

class InstallerAppTest : public testing::Test {
 protected:
  void TearDown() override { set_resource_lang(LANG_EN); }

  CInstallerApp make(std::vector<std::string> args) {
    storage_ = std::move(args);
    storage_.insert(storage_.begin(), "ovn8setup");
    pointers_.clear();
    for (std::string& s : storage_) pointers_.push_back(&s[0]);
    pointers_.push_back(nullptr);
    return CInstallerApp(static_cast<int>(storage_.size()), pointers_.data());
  }

  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

TEST_F(InstallerAppTest, OptionChoosesLanguageAndTitle) {
  CInstallerApp app = make({"usecwd", "-S", "-Lru"});
  EXPECT_EQ(app.m_language, LANG_NONE);
  EXPECT_EQ(app.m_title, u"");
  app.ReadStartUp();
  EXPECT_TRUE(app.m_useCurrentDirectory);
  EXPECT_TRUE(app.m_silent);
  EXPECT_EQ(app.m_language, LANG_RU);
  EXPECT_EQ(app.m_languageCode, u"ru");
  EXPECT_EQ(get_resource_lang(), LANG_RU);
  EXPECT_EQ(app.m_title, u"Установка конфигурации");
}

TEST_F(InstallerAppTest, InitInstanceRunsTheWizardAndReturnsItsStatus) {
  // No kit lies beside the test program: the wizard's first check fails,
  // which is exit status 1.
  std::vector<std::u16string> boxes;
  set_message_box_responder([&](const MessageBoxRequest& request) {
    boxes.push_back(request.text);
    return int(kMessageBoxResultOk);
  });
  CInstallerApp app = make({"-Lde"});
  EXPECT_EQ(app.InitInstance(), 1);
  set_message_box_responder(nullptr);
  set_message_box_mode(MessageBoxMode::Interactive);
  ASSERT_EQ(boxes.size(), 1u);
  // The sentence, then where the wizard looked.
  EXPECT_EQ(boxes[0].find(LoadResString("IDS_ERROR_NOSOURCE") + u"\n" + LoadResString("IDS_KIT_LOOKED_AT") + u"\n"), 0u);
  EXPECT_EQ(app.m_language, LANG_DE);
  EXPECT_EQ(app.m_title, LoadResString("IDR_MAINFRAME"));
  EXPECT_FALSE(app.m_title.empty());
}

TEST_F(InstallerAppTest, ATargetThatIsNoTextIsKeptAsGivenNeverDropped) {
  CInstallerApp app = make({"-S", "--target=/srv/t\xff"});
  app.ReadStartUp();
  EXPECT_EQ(app.m_target, u"");
  EXPECT_EQ(app.m_badTarget, "/srv/t\xff");
  app = make({"-S", "--target=/srv/Шаблоны"});
  app.ReadStartUp();
  EXPECT_EQ(app.m_target, u"/srv/Шаблоны");
  EXPECT_EQ(app.m_badTarget, "");
}

TEST_F(InstallerAppTest, PlainLocaleGivesEnglish) {
  // The tests run under LANG=C.UTF-8 (scripts/test): "C." is not in the table.
  const char* lcAll = getenv("LC_ALL");
  if (lcAll != nullptr && lcAll[0] != '\0') GTEST_SKIP() << "LC_ALL is set";
  const char* lang = getenv("LANG");
  if (lang == nullptr || std::string(lang).compare(0, 1, "C") != 0) GTEST_SKIP() << "LANG is not C";
  CInstallerApp app = make({"-Lxx", "-S"});
  app.ReadStartUp();
  EXPECT_FALSE(app.m_silent);
  EXPECT_EQ(app.m_language, LANG_EN);
  EXPECT_EQ(app.m_languageCode, u"en");
  EXPECT_EQ(app.m_title, u"Installing configuration");
}

}  // namespace
