// The wizard in every language under a display: every page and every
// message box is built in each of the twelve languages, at the desktop's
// default font and at 12 points, and no label, button or check box may ask
// for more room than it gets, overlap its neighbour, or reach past the
// window's 10-pixel margin. Boxes and the folder chooser belong to the
// wizard's window and speak its language.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <libintl.h>

#include "install/recovery.h"
#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/reasons.h"
#include "ui/installer_dlg.h"
#include "ui/toolkit_language.h"
#include "ui/ui_test_support.h"

namespace {

using uitest::ScratchWorld;

std::string text(const char* key) { return narrow_lib(LoadResString(key)); }

GtkAllocation allocation_of(GtkWidget* widget) {
  GtkAllocation box;
  gtk_widget_get_allocation(widget, &box);
  return box;
}

std::string describe(GtkWidget* widget) {
  std::ostringstream out;
  out << G_OBJECT_TYPE_NAME(widget);
  if (GTK_IS_LABEL(widget)) out << " \"" << gtk_label_get_text(GTK_LABEL(widget)) << "\"";
  if (GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)))
    out << " \"" << gtk_button_get_label(GTK_BUTTON(widget)) << "\"";
  const GtkAllocation a = allocation_of(widget);
  out << " at " << a.x << "," << a.y << " " << a.width << "x" << a.height;
  return out.str();
}

// Where a widget's content really lies: a label's text (which may be far
// smaller than the label's area), anything else its allocation.
GdkRectangle content_of(GtkWidget* widget) {
  GdkRectangle box = allocation_of(widget);
  if (!GTK_IS_LABEL(widget)) return box;
  int width = 0, height = 0;
  pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(widget)), &width, &height);
  gfloat xalign = 0, yalign = 0;
  gint xpad = 0, ypad = 0;
  gtk_misc_get_alignment(GTK_MISC(widget), &xalign, &yalign);
  gtk_misc_get_padding(GTK_MISC(widget), &xpad, &ypad);
  GdkRectangle text = {box.x + xpad + int((box.width - 2 * xpad - width) * xalign),
                       box.y + ypad + int((box.height - 2 * ypad - height) * yalign), width,
                       height};
  return text;
}

// Whether the text layout would draw a hyphen at a line that ends inside a
// word (a file name broken in two): it does unless told not to.
bool breaks_a_word_with_a_hyphen(GtkLabel* label) {
  PangoLayout* layout = gtk_label_get_layout(label);
  const char* text = pango_layout_get_text(layout);
  bool hyphens = true;
  if (PangoAttrList* attributes = pango_layout_get_attributes(layout)) {
    PangoAttrIterator* it = pango_attr_list_get_iterator(attributes);
    if (PangoAttribute* a = pango_attr_iterator_get(it, PANGO_ATTR_INSERT_HYPHENS))
      hyphens = reinterpret_cast<PangoAttrInt*>(a)->value != 0;
    pango_attr_iterator_destroy(it);
  }
  if (!hyphens) return false;
  for (GSList* l = pango_layout_get_lines_readonly(layout); l && l->next; l = l->next) {
    const PangoLayoutLine* line = static_cast<PangoLayoutLine*>(l->data);
    const int end = line->start_index + line->length;
    if (end <= 0 || text[end] == '\0') continue;
    const gunichar last = g_utf8_get_char(g_utf8_prev_char(text + end));
    const gunichar next = g_utf8_get_char(text + end);
    if (g_unichar_isalnum(last) && g_unichar_isalnum(next)) return true;
  }
  return false;
}

// A widget and everything inside it gets what it asks for: a label's text
// fits its allocation, any other widget's natural size fits its allocation.
void check_fits(GtkWidget* widget, std::vector<std::string>& problems) {
  if (!gtk_widget_get_visible(widget)) return;
  const GtkAllocation given = allocation_of(widget);
  if (GTK_IS_LABEL(widget)) {
    int width = 0, height = 0;
    pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(widget)), &width, &height);
    gint xpad = 0, ypad = 0;
    gtk_misc_get_padding(GTK_MISC(widget), &xpad, &ypad);
    if (width > given.width - 2 * xpad || height > given.height - 2 * ypad) {
      std::ostringstream out;
      out << describe(widget) << ": text needs " << width << "x" << height;
      problems.push_back(out.str());
    }
    if (gtk_label_get_ellipsize(GTK_LABEL(widget)) != PANGO_ELLIPSIZE_NONE &&
        pango_layout_is_ellipsized(gtk_label_get_layout(GTK_LABEL(widget))))
      problems.push_back(describe(widget) + ": text cut short");
    if (breaks_a_word_with_a_hyphen(GTK_LABEL(widget)))
      problems.push_back(describe(widget) + ": a name broken with a hyphen");
  } else if (!GTK_IS_IMAGE(widget)) {
    GtkRequisition asked = {0, 0};
    gtk_widget_get_requisition(widget, &asked);
    if (asked.width > given.width || asked.height > given.height) {
      std::ostringstream out;
      out << describe(widget) << ": asks for " << asked.width << "x" << asked.height;
      problems.push_back(out.str());
    }
  }
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child; child = child->next)
      check_fits(GTK_WIDGET(child->data), problems);
    g_list_free(children);
  }
}

bool overlap(const GdkRectangle& a, const GdkRectangle& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
         b.y < a.y + a.height;
}

// The visible widgets of the wizard's window: each fits, stays inside the
// margin (the banner alone reaches the edge) and keeps off the others.
std::vector<std::string> check_window(CInstallerDlg& d) {
  uitest::flush_events();
  std::vector<std::string> problems;
  std::vector<GtkWidget*> shown;
  GList* children = gtk_container_get_children(GTK_CONTAINER(d.container()));
  for (GList* child = children; child; child = child->next) {
    GtkWidget* widget = GTK_WIDGET(child->data);
    if (gtk_widget_get_visible(widget) && !GTK_IS_IMAGE(widget)) shown.push_back(widget);
  }
  g_list_free(children);
  const int margin = kWindowMargin;
  for (size_t i = 0; i < shown.size(); ++i) {
    GtkWidget* widget = shown[i];
    check_fits(widget, problems);
    const GdkRectangle box = content_of(widget);
    const GdkRectangle area = allocation_of(widget);
    for (const GdkRectangle& r : {box, area}) {
      if (r.x < margin || r.y < margin || r.x + r.width > d.width - margin ||
          r.y + r.height > d.height - margin)
        problems.push_back(describe(widget) + ": past the window's margin");
    }
    for (size_t j = 0; j < i; ++j)
      if (overlap(box, content_of(shown[j])))
        problems.push_back(describe(widget) + " overlaps " + describe(shown[j]));
  }
  return problems;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  return all;
}

GtkWidget* find_message_dialog() {
  GtkWidget* result = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next)
    if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
      result = GTK_WIDGET(w->data);
  g_list_free(windows);
  return result;
}

// The labels of a dialog's buttons from left to right: the action area
// packs them from its end, so its list runs right to left.
std::vector<std::string> button_labels(GtkWidget* dialog) {
  std::vector<std::string> labels;
  GList* buttons =
      gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))));
  for (GList* b = buttons; b; b = b->next) {
    const gchar* label = gtk_button_get_label(GTK_BUTTON(b->data));
    labels.insert(labels.begin(), label ? label : "");
  }
  g_list_free(buttons);
  return labels;
}

// What a box looked like while it was open.
struct SeenBox {
  bool found = false;
  GtkWindow* transientFor = nullptr;
  std::vector<std::string> buttons;
  std::vector<std::string> problems;
  int x = 0, y = 0, width = 0, height = 0;
  gint answer = GTK_RESPONSE_OK;
};

gboolean inspect_box(gpointer data) {
  SeenBox* seen = static_cast<SeenBox*>(data);
  GtkWidget* dialog = find_message_dialog();
  if (!dialog) return TRUE;
  uitest::flush_events();
  seen->found = true;
  seen->transientFor = gtk_window_get_transient_for(GTK_WINDOW(dialog));
  seen->buttons = button_labels(dialog);
  check_fits(dialog, seen->problems);
  gtk_window_get_position(GTK_WINDOW(dialog), &seen->x, &seen->y);
  gtk_window_get_size(GTK_WINDOW(dialog), &seen->width, &seen->height);
  GdkScreen* screen = gtk_widget_get_screen(dialog);
  if (seen->x < 0 || seen->y < 0 || seen->x + seen->width > gdk_screen_get_width(screen) ||
      seen->y + seen->height > gdk_screen_get_height(screen))
    seen->problems.push_back("the box lies off the screen");
  gtk_dialog_response(GTK_DIALOG(dialog), seen->answer);
  return FALSE;
}

SeenBox show_box(CWnd* parent, const std::u16string& message, unsigned flags, gint answer) {
  SeenBox seen;
  seen.answer = answer;
  const guint source = g_timeout_add(20, inspect_box, &seen);
  messageBox(parent, message, flags);
  if (!seen.found) g_source_remove(source);
  return seen;
}

class WizardFitTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!uitest::toolkit_available()) GTEST_SKIP() << "no display";
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &oldFont_, nullptr);
  }
  void TearDown() override {
    if (oldFont_) {
      g_object_set(gtk_settings_get_default(), "gtk-font-name", oldFont_, nullptr);
      g_free(oldFont_);
    }
    set_folder_chooser_runner(nullptr);
    set_resource_lang(LANG_EN);
  }

  void writeKit() {
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Sample Templates", u"Example Software Ltd.", u"readme.html"},
                         {u"ru", u"Образцы шаблонов", u"ООО «Пример Софт»", u"readme.html"},
                         {u"de", u"Beispielvorlagen", u"Beispiel Software GmbH", u"readme.html"}};
    spec.files.emplace_back(u"readme.html", "<html/>", uitest::time_of(1600000000));
    ASSERT_TRUE(config::writeKit(world_.kitPath(), spec));
  }

  std::unique_ptr<uitest::TestWizard> openWizard(const std::string& code) {
    std::unique_ptr<uitest::TestWizard> dialog(new uitest::TestWizard(
        uitest::test_settings(false, widen_lib(code)), text("IDR_MAINFRAME")));
    EXPECT_TRUE(dialog->OnInitDialog());
    dialog->showMainWindow();
    dialog->showWelcomePage();
    return dialog;
  }

  // Every page and every box of the wizard in every language.
  void walkEveryLanguage(const char* font) {
    for (const auto& language : lang_table()) {
      const std::string code = language.second.code;
      SCOPED_TRACE(code + " at " + font);
      set_resource_lang(language.first);
      std::unique_ptr<uitest::TestWizard> dialog = openWizard(code);
      CInstallerDlg& d = *dialog;
      EXPECT_EQ(joined(check_window(d)), "") << "welcome";
      d.showSelectPathPage();
      d.dirSelectPage->setPath(std::string("/home/user/templates"));
      EXPECT_EQ(joined(check_window(d)), "") << "directory";
      // Too little free space: the line under the field stands out (bold)
      // and must still keep off the separator.
      DirSelectPage::FreeSpaceProbe probe = d.dirSelectPage->freeSpaceProbe;
      d.dirSelectPage->setFreeSpaceProbe([](const std::u16string&, uint64_t& freeBytes) {
        freeBytes = 0;
        return true;
      });
      d.dirSelectPage->updateSpace();
      EXPECT_TRUE(d.dirSelectPage->tooLittleSpace);
      EXPECT_EQ(joined(check_window(d)), "") << "directory with too little space";
      d.dirSelectPage->setFreeSpaceProbe(probe);
      d.dirSelectPage->updateSpace();
      RunReport half;
      half.progress = 50;
      half.phase = RunPhase::kCopying;
      d.showRunPage(half);
      EXPECT_EQ(joined(check_window(d)), "") << "progress";
      d.progressPage->setProgress(100);
      EXPECT_EQ(joined(check_window(d)), "") << "progress at the end";
      // The description document is there, so the check box is shown.
      ASSERT_EQ(system(("mkdir -p '" + world_.defaultTarget() + "'").c_str()), 0);
      ASSERT_TRUE(config::writeFileBytes(world_.defaultTarget() + "readme.html", "<html/>"));
      d.showSuccessFinalPage();
      EXPECT_TRUE(gtk_widget_get_visible(d.successPage->checkBox));
      EXPECT_EQ(joined(check_window(d)), "") << "success";
      d.showErrorFinalPage();
      EXPECT_EQ(joined(check_window(d)), "") << "error";
      d.showCancelFinalPage();
      EXPECT_EQ(joined(check_window(d)), "") << "cancelled";
      // With the kit installed in the directory: the note on the directory
      // page, the choice, and the page after a repair.
      d.showSelectPathPage();
      gtk_button_clicked(GTK_BUTTON(d.buttonNext));
      if (d.currentState() == kStateSuccess) {
        d.showSelectPathPage();
        gtk_button_clicked(GTK_BUTTON(d.buttonNext));
      }
      ASSERT_EQ(d.currentState(), kStateMaintenance);
      EXPECT_EQ(joined(check_window(d)), "") << "maintenance";
      d.showSelectPathPage();
      EXPECT_EQ(joined(check_window(d)), "") << "directory with an installation";
      gtk_button_clicked(GTK_BUTTON(d.buttonNext));
      gtk_button_clicked(GTK_BUTTON(d.buttonNext));
      ASSERT_EQ(d.currentState(), kStateMaintained);
      EXPECT_EQ(joined(check_window(d)), "") << "repaired";

      const struct {
        const char* key;
        unsigned flags;
      } boxes[] = {{"IDS_ACCEPT_CANCEL", 0x2000002},    {"IDS_ERROR_NOSOURCE", 0x1000001},
                   {"IDS_ERROR_NOSPACE", 0x1000001},    {"IDS_ERROR_DAMAGEDSOURCE", 0x1000001},
                   {"IDS_SETUP_EMPTYTARGET", 1},        {"IDS_INSTALL_ERROR", 0x1000001},
                   {"IDS_ERROR_TARGETBUSY", 0x1000001}, {"IDS_WARN_LAUNCHERFILE", 1},
                   {"IDS_SETUP_TARGETNOTFOLDER", 0x1000001}, {"IDS_SETUP_TARGETNOTWRITABLE", 0x1000001},
                   {"IDS_MAINT_REMOVE_CONFIRM", 0x2000002}, {"IDS_MAINT_ACCEPT_CANCEL", 0x2000002}};
      std::vector<std::pair<std::u16string, unsigned>> shown;
      for (const auto& box : boxes) shown.emplace_back(LoadResString(box.key), box.flags);
      for (const auto& box : boxesWithPaths()) shown.push_back(box);
      for (const auto& box : shown) {
        SCOPED_TRACE(narrow_lib(box.first));
        const SeenBox seen = show_box(&d, box.first, box.second, GTK_RESPONSE_NO);
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(joined(seen.problems), "");
        EXPECT_EQ(seen.transientFor, GTK_WINDOW(d.mainWindow));
        if (box.second == 0x2000002)
          EXPECT_EQ(seen.buttons,
                    (std::vector<std::string>{text("IDS_MSGBOX_NO"), text("IDS_MSGBOX_YES")}));
        else
          EXPECT_EQ(seen.buttons, std::vector<std::string>{text("IDS_MSGBOX_OK")});
      }
    }
  }

  // The boxes whose texts carry paths, sizes and reasons, each with a long
  // name that has nowhere to break but inside itself.
  static std::vector<std::pair<std::u16string, unsigned>> boxesWithPaths() {
    const std::u16string longName =
        u"/home/user/.ovn8/tmplts/Documents/for_the_accounting_department_of_the_regional_branch/"
        u"final_version_of_the_quarterly_report_template_for_the_accounting_department.tpl";
    RecoveryNotice notice;
    notice.kind = RecoveryNotice::Kind::kRestored;
    notice.directory = u"/home/user/.ovn8/tmplts/for_the_accounting_department_of_the_regional_branch/";
    notice.paths = {longName};
    const std::u16string sizes = FormatResString("IDS_SPACE_INFO", {sizeText(3u << 20, true), sizeText(1u << 20, false)});
    return {
        {LoadResString("IDS_INSTALL_ERROR") + u"\n" + longName + u"\n" + failure_reason(ERROR_FILE_NOT_FOUND), 0x1000001},
        {recovery_notice_text(notice), 0x1000001},
        {LoadResString("IDS_ERROR_NOSOURCE") + u"\n" + LoadResString("IDS_KIT_LOOKED_AT") + u"\n" + longName, 0x1000001},
        {LoadResString("IDS_ERROR_NOSPACE") + u"\n/tmp\n" + sizes, 0x1000001},
        {LoadResString("IDS_WARN_LAUNCHERFILE") + u"\n\n" + longName + u"\n" + failure_reason(ERROR_ACCESS_DENIED),
         kMessageBoxWarning | kMessageBoxOk},
        {LoadResString("IDS_SETUP_TARGETNOTWRITABLE") + u"\n" + longName + u"\n" + failure_reason(4711), 0x1000001},
    };
  }

  ScratchWorld world_;
  gchar* oldFont_ = nullptr;
  char name_[16] = "ovn8setup";
  char* argvStorage_[2] = {name_, nullptr};
  int argc_ = 1;
  char** argv_ = argvStorage_;
};

TEST_F(WizardFitTest, EveryPageAndBoxFitsInEveryLanguageAtTheDefaultFont) {
  writeKit();
  walkEveryLanguage("the default font");
}

TEST_F(WizardFitTest, EveryPageAndBoxFitsInEveryLanguageAtTwelvePoints) {
  writeKit();
  g_object_set(gtk_settings_get_default(), "gtk-font-name", "Sans 12", nullptr);
  walkEveryLanguage("Sans 12");
}

TEST_F(WizardFitTest, ButtonsKeepTheDesignWhereTheLabelsFitAndGrowTogetherWhereNot) {
  writeKit();
  {
    set_resource_lang(LANG_EN);
    std::unique_ptr<uitest::TestWizard> d = openWizard("en");
    uitest::flush_events();
    const GtkAllocation back = allocation_of(d->buttonPrev), next = allocation_of(d->buttonNext),
                        cancel = allocation_of(d->buttonCancel);
    EXPECT_EQ(back.x, 230);
    EXPECT_EQ(next.x, 310);
    EXPECT_EQ(cancel.x, 410);
    EXPECT_EQ(cancel.width, 80);
    EXPECT_EQ(cancel.y, 320);
  }
  {
    set_resource_lang(LANG_UK);
    std::unique_ptr<uitest::TestWizard> d = openWizard("uk");
    uitest::flush_events();
    const GtkAllocation back = allocation_of(d->buttonPrev), next = allocation_of(d->buttonNext),
                        cancel = allocation_of(d->buttonCancel);
    // "< Попередня" needs more than 80: all three grow alike, still at the
    // right margin, with the same spacing.
    EXPECT_GT(back.width, 80);
    EXPECT_EQ(back.width, next.width);
    EXPECT_EQ(next.width, cancel.width);
    EXPECT_EQ(cancel.x + cancel.width, 490);
    EXPECT_EQ(next.x + next.width + 20, cancel.x);
    EXPECT_EQ(back.x + back.width, next.x);
  }
}

// The chooser's runner: remembers what the chooser looked like, cancels.
struct SeenChooser {
  GtkWindow* transientFor = nullptr;
  std::string title;
  std::vector<std::string> buttons;
  std::vector<std::string> texts;  // of every label and button inside
};
SeenChooser g_chooser;

void collect_texts(GtkWidget* widget, std::vector<std::string>& texts) {
  if (GTK_IS_LABEL(widget)) texts.push_back(gtk_label_get_label(GTK_LABEL(widget)));
  if (GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)))
    texts.push_back(gtk_button_get_label(GTK_BUTTON(widget)));
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child; child = child->next) collect_texts(GTK_WIDGET(child->data), texts);
    g_list_free(children);
  }
}

int inspect_chooser(GtkWidget* chooser) {
  g_chooser.texts.clear();
  collect_texts(chooser, g_chooser.texts);
  g_chooser.transientFor = gtk_window_get_transient_for(GTK_WINDOW(chooser));
  const gchar* title = gtk_window_get_title(GTK_WINDOW(chooser));
  g_chooser.title = title ? title : "";
  g_chooser.buttons = button_labels(chooser);
  return GTK_RESPONSE_CANCEL;
}

TEST_F(WizardFitTest, BoxesAndTheChooserBelongToTheWizardAndSpeakItsLanguage) {
  writeKit();
  set_resource_lang(LANG_KK);
  std::unique_ptr<uitest::TestWizard> dialog = openWizard("kk");
  CInstallerDlg& d = *dialog;
  // Moved away from the middle of the screen: the box follows the wizard.
  gtk_window_move(GTK_WINDOW(d.mainWindow), 40, 60);
  uitest::flush_events();
  int wizardX = 0, wizardY = 0;
  gtk_window_get_position(GTK_WINDOW(d.mainWindow), &wizardX, &wizardY);
  SeenBox seen = show_box(&d, LoadResString("IDS_ACCEPT_CANCEL"), 0x2000002, GTK_RESPONSE_NO);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.transientFor, GTK_WINDOW(d.mainWindow));
  EXPECT_EQ(seen.buttons, (std::vector<std::string>{"Жоқ", "Иә"}));
  EXPECT_NEAR(seen.x + seen.width / 2, wizardX + d.width / 2, 20);
  EXPECT_NEAR(seen.y + seen.height / 2, wizardY + d.height / 2, 20);

  // Answered No through the real box: the wizard goes on.
  seen = SeenBox();
  seen.answer = GTK_RESPONSE_NO;
  const guint source = g_timeout_add(20, inspect_box, &seen);
  gtk_button_clicked(GTK_BUTTON(d.buttonCancel));
  if (!seen.found) g_source_remove(source);
  EXPECT_TRUE(seen.found);
  EXPECT_NE(d.mainWindow, nullptr);
  EXPECT_EQ(d.currentState(), kStateWelcome);

  // Without a window there is nothing to belong to.
  CWnd plain;
  seen = show_box(&plain, u"x", 1, GTK_RESPONSE_OK);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.transientFor, nullptr);
  EXPECT_EQ(seen.buttons, std::vector<std::string>{"ОК"});

  d.showSelectPathPage();
  set_folder_chooser_runner(inspect_chooser);
  // The chooser's own texts (Create Folder, Places, Name) follow the
  // wizard's language, not the system's, also when the language changes.
  const char* const createFolder = "Create Fo_lder";
  std::string before;
  for (const char* code : {"kk", "de"}) {
    SCOPED_TRACE(code);
    speak_toolkit_language(code);
    const std::string translated = dgettext("gtk20", createFolder);
    gtk_button_clicked(GTK_BUTTON(d.dirSelectPage->browseButton));
    EXPECT_NE(translated, createFolder);
    EXPECT_NE(translated, before);
    before = translated;
    EXPECT_NE(std::find(g_chooser.texts.begin(), g_chooser.texts.end(), translated), g_chooser.texts.end())
        << joined(g_chooser.texts);
    EXPECT_EQ(std::find(g_chooser.texts.begin(), g_chooser.texts.end(), createFolder), g_chooser.texts.end());
  }
  unsetenv("LANGUAGE");
  EXPECT_EQ(g_chooser.transientFor, GTK_WINDOW(d.mainWindow));
  EXPECT_EQ(g_chooser.title, text("IDS_CHOOSEDIR_TITLE"));
  EXPECT_EQ(g_chooser.buttons, (std::vector<std::string>{"Доғар", "Ашу"}));
}

}  // namespace
