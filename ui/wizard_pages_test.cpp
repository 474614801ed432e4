// The pages on their own: widget order, initial contents, the entry's text
// round trip, the folder chooser's answers and the progress texts.
#include "ui/wizard_pages.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>

#include "install/installation_session.h"

#include "platform/file_fault_injector.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/pictures.h"
#include "ui/ui_test_support.h"
#include "install/wizard_paths.h"

namespace {

std::string text(const char* key) { return narrow_lib(LoadResString(key)); }

std::string g_chooserFolder;
int accept_folder(GtkWidget* chooser) {
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), g_chooserFolder.c_str());
  uitest::flush_events();
  return GTK_RESPONSE_ACCEPT;
}
int cancel_chooser(GtkWidget*) { return GTK_RESPONSE_CANCEL; }
// What the chooser was set to show before it ran.
bool g_showedHidden = false;
bool g_localOnly = false;
int note_chooser(GtkWidget* chooser) {
  g_showedHidden = gtk_file_chooser_get_show_hidden(GTK_FILE_CHOOSER(chooser));
  g_localOnly = gtk_file_chooser_get_local_only(GTK_FILE_CHOOSER(chooser));
  return GTK_RESPONSE_CANCEL;
}
int close_chooser(GtkWidget*) { return GTK_RESPONSE_DELETE_EVENT; }

class WizardPagesTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!uitest::toolkit_available()) GTEST_SKIP() << "no display";
    set_resource_lang(LANG_EN);
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window_), fixed_);
    gtk_widget_show_all(window_);
    picture_ = gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kBannerXpm));
  }
  void TearDown() override {
    set_folder_chooser_runner(nullptr);
    if (window_) gtk_widget_destroy(window_);
    if (picture_) g_object_unref(picture_);
  }

  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GdkPixbuf* picture_ = nullptr;
};

TEST_F(WizardPagesTest, PagesAreMadeHiddenWithTheirWidgetsInOrder) {
  MessagePage message(fixed_, picture_, u"Привет, мир");
  SuccessFinalPage success(fixed_, picture_, u"Done");
  DirSelectPage dir(fixed_, picture_);
  ProgressPage progress(fixed_, 480);
  EXPECT_EQ(message.getWidgets(), (std::vector<GtkWidget*>{message.image, message.label}));
  EXPECT_EQ(success.getWidgets(),
            (std::vector<GtkWidget*>{success.image, success.label, success.checkBox}));
  EXPECT_EQ(progress.getWidgets(),
            (std::vector<GtkWidget*>{progress.heading, progress.targetLabel, progress.label,
                                     progress.progressBar, progress.fileLabel, progress.countLabel}));
  for (WizardDialogPage* page : std::vector<WizardDialogPage*>{&message, &success, &dir, &progress})
    for (GtkWidget* widget : page->getWidgets()) {
      EXPECT_FALSE(gtk_widget_get_visible(widget));
      EXPECT_EQ(gtk_widget_get_parent(widget), fixed_);
    }
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(message.label)), "Привет, мир");
  EXPECT_TRUE(gtk_label_get_line_wrap(GTK_LABEL(message.label)));
  gfloat x = 1, y = 1;
  gtk_misc_get_alignment(GTK_MISC(message.label), &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_TRUE(success.isShowReadmeChecked());
  // Shown without the mark of its access key, which it has.
  GtkWidget* checkLabel = gtk_bin_get_child(GTK_BIN(success.checkBox));
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(checkLabel)), text("IDS_SUCCESS_OPENDESCR"));
  EXPECT_NE(gtk_label_get_mnemonic_keyval(GTK_LABEL(checkLabel)), guint(GDK_VoidSymbol));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(success.checkBox), FALSE);
  EXPECT_FALSE(success.isShowReadmeChecked());
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(dir.promptLabel)), text("IDS_DESTINATION_PROMPT"));
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(dir.catalogLabel)), text("IDS_TEMPLATE_CATALOG"));
  // Markup and mnemonics are not parsed.
  message.setMessage(u"<b>_x</b> 100%");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(message.label)), "<b>_x</b> 100%");
}

TEST_F(WizardPagesTest, ProgressTextSwitchesOnlyAtOneHundred) {
  ProgressPage progress(fixed_, 480);
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(progress.label)), text("IDS_PROGRESS_START"));
  EXPECT_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress.progressBar)), 0.0);
  progress.setProgress(99);
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(progress.label)), text("IDS_PROGRESS_START"));
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress.progressBar)), 0.99);
  progress.setProgress(100);
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(progress.label)), text("IDS_INSTALL_FINISH"));
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress.progressBar)), 1.0);
}

TEST_F(WizardPagesTest, DirectoryEntryAndFolderChooser) {
  DirSelectPage dir(fixed_, picture_);
  EXPECT_EQ(dir.getPath(), u"");
  const std::u16string path = u"/home/ü/Шаблоны 1/";
  dir.setPath(path);
  EXPECT_EQ(dir.getPath(), path);

  set_folder_chooser_runner(cancel_chooser);
  gtk_button_clicked(GTK_BUTTON(dir.browseButton));
  EXPECT_EQ(dir.getPath(), path);
  set_folder_chooser_runner(close_chooser);
  dir.showDirDialog();
  EXPECT_EQ(dir.getPath(), path);

  const testkit::ScratchDir chooser("/tmp", "ovn8ui_chooser");
  g_chooserFolder = chooser.path();
  set_folder_chooser_runner(accept_folder);
  EXPECT_EQ(button_clicked_handler(dir.browseButton, &dir), 0);
  EXPECT_EQ(narrow_lib(dir.getPath()), g_chooserFolder);
  EXPECT_EQ(button_clicked_handler(dir.browseButton, nullptr), 0);

  // A field under a hidden folder shows hidden folders; a plain one not.
  set_folder_chooser_runner(note_chooser);
  dir.setPath(g_chooserFolder + "/.hidden/tmplts/");
  dir.showDirDialog();
  EXPECT_TRUE(g_showedHidden);
  EXPECT_TRUE(g_localOnly);
  dir.setPath(g_chooserFolder);
  dir.showDirDialog();
  EXPECT_FALSE(g_showedHidden);
}

std::u16string g_askedFolder;
bool note_free_space(const std::u16string& folder, uint64_t& freeBytes) {
  g_askedFolder = folder;
  freeBytes = 1;
  return true;
}

TEST_F(WizardPagesTest, RelativeFieldsAreTakenFromTheCurrentFolderOrTheRoot) {
  DirSelectPage dir(fixed_, picture_);
  // The window hands the page its session's answer.
  InstallationSession session{SessionSettings()};
  dir.setFreeSpaceProbe([&session](const std::u16string& typed, uint64_t& bytes) {
    return session.freeSpaceFor(typed, bytes);
  });
  const testkit::ScratchDir scratch("/tmp", "ovn8ui_relative");
  char before[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  set_free_space_probe(note_free_space);
  uint64_t freeBytes = 0;
  dir.setPath("templates/new");
  const bool told = dir.freeSpace(freeBytes);
  const std::u16string fromCurrent = g_askedFolder;
  // The current folder comes through the file layer: when it cannot be
  // told, the root stands in for it.
  bool toldWithout = false;
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::GetCurrentDirectory});
    toldWithout = dir.freeSpace(freeBytes);
    EXPECT_TRUE(fault.fired());
  }
  set_free_space_probe(nullptr);
  ASSERT_EQ(chdir(before), 0);
  EXPECT_TRUE(told);
  EXPECT_EQ(narrow_lib(fromCurrent), scratch.path());
  EXPECT_TRUE(toldWithout);
  EXPECT_EQ(g_askedFolder, u"/");
}

}  // namespace
