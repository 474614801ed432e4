// The window on a directory that holds an installation of its kit: the
// directory page and the choice say what is installed and when; Repair
// brings a deleted file back; Remove, once confirmed, takes the installed
// files and keeps one the user changed. In two languages.
#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <memory>

#include "platform/file_system.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/installer_dlg.h"
#include "ui/ui_test_support.h"

namespace {

using uitest::BoxRecorder;
using uitest::ScratchWorld;
using uitest::TestWizard;

struct Language {
  LangIdType id;
  const char16_t* code;
};

void PrintTo(const Language& language, std::ostream* out) { *out << narrow_lib(language.code); }

class MaintenanceFlowTest : public testing::TestWithParam<Language> {
 protected:
  void SetUp() override {
    if (!uitest::toolkit_available()) GTEST_SKIP() << "no display";
    set_resource_lang(GetParam().id);
    config::KitSpec spec;
    spec.descriptions.push_back({u"en", u"Sample Templates", u"Example Vendor", u""});
    spec.kitVersion = u"3.0";
    spec.files.emplace_back(u"docs\\a.txt", "alpha", uitest::time_of(1600000000));
    spec.files.emplace_back(u"docs\\b.txt", "beta", uitest::time_of(1600000000));
    ASSERT_TRUE(config::writeKit(world_.kitPath(), spec));
  }
  void TearDown() override {
    set_message_box_mode(MessageBoxMode::Interactive);
    set_resource_lang(LANG_EN);
  }

  std::string target() const { return world_.root + "/templates"; }
  std::string file(const std::string& name) const { return target() + "/docs/" + name; }

  // A wizard started again on the kit, at the directory page.
  std::unique_ptr<TestWizard> atDirectoryPage() {
    std::unique_ptr<TestWizard> dialog(
        new TestWizard(uitest::test_settings(false, GetParam().code, widen_lib(target())), "Setup"));
    EXPECT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    gtk_button_clicked(GTK_BUTTON(dialog->buttonNext));
    uitest::flush_events();
    EXPECT_EQ(kStateDirectory, dialog->currentState());
    return dialog;
  }

  void next(TestWizard& dialog) {
    gtk_button_clicked(GTK_BUTTON(dialog.buttonNext));
    uitest::flush_events();
  }

  std::string label(GtkWidget* widget) { return gtk_label_get_text(GTK_LABEL(widget)); }

  ScratchWorld world_;
};

TEST_P(MaintenanceFlowTest, TheChoiceShowsTheInstallationAndRepairsAndRemovesIt) {
  {
    // A first run installs: no choice is offered for an empty directory.
    auto dialog = atDirectoryPage();
    EXPECT_EQ(narrow_lib(LoadResString("IDS_DESTINATION_PROMPT")), label(dialog->dirSelectPage->promptLabel));
    next(*dialog);
    EXPECT_EQ(kStateSuccess, dialog->currentState());
    EXPECT_EQ("alpha", uitest::readFile(file("a.txt")));
  }
  char today[16];
  const time_t now = time(nullptr);
  struct tm local;
  strftime(today, sizeof today, "%Y-%m-%d", localtime_r(&now, &local));
  {
    auto dialog = atDirectoryPage();
    const std::string installed = narrow_lib(dialog->installation.installedText());
    EXPECT_NE(std::string::npos, installed.find(narrow_lib(FormatResString("IDS_MAINT_VERSION", {u"3.0"}))));
    EXPECT_NE(std::string::npos, installed.find(today));
    EXPECT_EQ(narrow_lib(LoadResString("IDS_DESTINATION_PROMPT")) + "\n\n" + installed,
              label(dialog->dirSelectPage->promptLabel));
    // Another folder typed: nothing is said of it.
    dialog->dirSelectPage->setPath(world_.root + "/other");
    EXPECT_EQ(narrow_lib(LoadResString("IDS_DESTINATION_PROMPT")), label(dialog->dirSelectPage->promptLabel));
    dialog->dirSelectPage->setPath(target());

    ASSERT_EQ(0, unlink(file("b.txt").c_str()));
    next(*dialog);
    ASSERT_EQ(kStateMaintenance, dialog->currentState());
    EXPECT_EQ(installed + "\n\n" + narrow_lib(LoadResString("IDS_MAINT_CHOICE")),
              label(dialog->maintenancePage->label));
    EXPECT_EQ(MaintenancePage::Choice::kRepair, dialog->maintenancePage->choice());
    // Back returns to the directory; Next again offers the choice.
    gtk_button_clicked(GTK_BUTTON(dialog->buttonPrev));
    EXPECT_EQ(kStateDirectory, dialog->currentState());
    next(*dialog);
    next(*dialog);
    ASSERT_EQ(kStateMaintained, dialog->currentState());
    EXPECT_EQ("beta", uitest::readFile(file("b.txt")));
    EXPECT_EQ(narrow_lib(dialog->installation.maintenanceSummary()), label(dialog->maintainedPage->label));
    EXPECT_NE(std::string::npos, label(dialog->maintainedPage->label).find(narrow_lib(LoadResString("IDS_MAINT_REPAIRED"))));
    next(*dialog);
    EXPECT_EQ(nullptr, dialog->mainWindow);
    EXPECT_EQ(kExitSuccess, dialog->exitCode());
  }
  {
    ASSERT_TRUE(config::writeFileBytes(file("a.txt"), "the user's alpha"));
    auto dialog = atDirectoryPage();
    next(*dialog);
    ASSERT_EQ(kStateMaintenance, dialog->currentState());
    dialog->maintenancePage->choose(MaintenancePage::Choice::kRemove);
    BoxRecorder boxes;
    // No keeps everything and the choice open; Yes removes.
    boxes.answers = {kMessageBoxResultNo, kMessageBoxResultYes};
    next(*dialog);
    EXPECT_EQ(kStateMaintenance, dialog->currentState());
    EXPECT_TRUE(uitest::exists(file("b.txt")));
    next(*dialog);
    ASSERT_EQ(2u, boxes.asked.size());
    EXPECT_EQ(LoadResString("IDS_MAINT_REMOVE_CONFIRM"), boxes.asked[1].text);
    ASSERT_EQ(kStateMaintained, dialog->currentState());
    EXPECT_FALSE(uitest::exists(file("b.txt")));
    EXPECT_EQ("the user's alpha", uitest::readFile(file("a.txt")));
    const std::string page = label(dialog->maintainedPage->label);
    EXPECT_EQ(0u, page.find(narrow_lib(LoadResString("IDS_MAINT_REMOVED"))));
    EXPECT_NE(std::string::npos,
              page.find(narrow_lib(LoadResString("IDS_MAINT_KEPT_CHANGED")) + "\ndocs/a.txt"));
    EXPECT_FALSE(dialog->installation.installedKit().present);
  }
}

// Slows the writing of every file below a "docs" folder, so that a
// repair lasts long enough to be cancelled while it goes on.
uint32_t slow_hook(FileOp op, const std::u16string& path, void*) {
  if (op == FileOp::CreateFile && path.find(u"/docs/") != std::u16string::npos) g_usleep(100000);
  return 0;
}

TEST_P(MaintenanceFlowTest, ACancelledRepairAsksItsOwnQuestionAndChangesNothing) {
  {
    auto dialog = atDirectoryPage();
    next(*dialog);
    ASSERT_EQ(kStateSuccess, dialog->currentState());
  }
  ASSERT_EQ(0, unlink(file("a.txt").c_str()));
  ASSERT_EQ(0, unlink(file("b.txt").c_str()));
  auto dialog = atDirectoryPage();
  next(*dialog);
  ASSERT_EQ(kStateMaintenance, dialog->currentState());
  BoxRecorder boxes;
  boxes.answers = {kMessageBoxResultYes};
  TestWizard* wizard = dialog.get();
  // Cancel is pressed once the run shows its page.
  const guint source = g_timeout_add(5, [](gpointer data) -> gboolean {
    TestWizard* d = static_cast<TestWizard*>(data);
    if (d->currentState() != kStateProgress) return TRUE;
    gtk_button_clicked(GTK_BUTTON(d->buttonCancel));
    return FALSE;
  }, wizard);
  FileSystem::SetFaultHook(&slow_hook, nullptr);
  next(*dialog);
  FileSystem::SetFaultHook(nullptr, nullptr);
  // Not pressed: the probe must not outlive the window.
  if (g_main_context_find_source_by_id(nullptr, source)) g_source_remove(source);
  ASSERT_EQ(kStateCancelled, dialog->currentState());
  ASSERT_EQ(1u, boxes.asked.size());
  EXPECT_EQ(LoadResString("IDS_MAINT_ACCEPT_CANCEL"), boxes.asked[0].text);
  EXPECT_EQ(narrow_lib(LoadResString("IDS_MAINT_CANCELLED")), label(dialog->cancelPage->label));
  EXPECT_EQ(kExitCancelled, dialog->exitCode());
  EXPECT_FALSE(uitest::exists(file("a.txt")));
  EXPECT_FALSE(uitest::exists(file("b.txt")));
}

INSTANTIATE_TEST_SUITE_P(Languages, MaintenanceFlowTest,
                         testing::Values(Language{LANG_EN, u"en"}, Language{LANG_RU, u"ru"}),
                         [](const testing::TestParamInfo<Language>& info) {
                           return narrow_lib(std::u16string(info.param.code));
                         });

}  // namespace
