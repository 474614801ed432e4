#include "ui/wizard_pages.h"

#include "platform/text.h"
#include "resources/lang.h"

namespace {

FolderChooserRunner g_folderChooserRunner = nullptr;

std::string text_of(const char* key) { return narrow_lib(LoadResString(key)); }

// Coordinates of the page area right of the banner.
const int kMainAreaX = 170;
const int kMainAreaY = 10;
const int kMainAreaWidth = 330;
const int kMainAreaHeight = 250;

}  // namespace

void set_folder_chooser_runner(FolderChooserRunner runner) { g_folderChooserRunner = runner; }

GtkWidget* WizardDialogPage::append(GtkWidget* widget) {
  widgets.push_back(widget);
  return widget;
}

GtkWidget* WizardDialogPage::addPicture(GdkPixbuf* picture) {
  GtkWidget* image = append(gtk_image_new_from_pixbuf(picture));
  gtk_container_add(GTK_CONTAINER(parent), image);
  return image;
}

GtkWidget* createMainAreaLabel(GtkWidget* parent) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_widget_set_size_request(label, kMainAreaWidth, kMainAreaHeight);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_misc_set_alignment(GTK_MISC(label), 0, 0);
  gtk_fixed_put(GTK_FIXED(parent), label, kMainAreaX, kMainAreaY);
  return label;
}

MessagePage::MessagePage(GtkWidget* parent, GdkPixbuf* picture, const std::u16string& text)
    : WizardDialogPage(parent) {
  image = addPicture(picture);
  label = append(createMainAreaLabel(parent));
  setMessage(text);
}

void MessagePage::setMessage(const std::u16string& text) {
  gtk_label_set_text(GTK_LABEL(label), narrow_lib(text).c_str());
}

SuccessFinalPage::SuccessFinalPage(GtkWidget* parent, GdkPixbuf* picture,
                                   const std::u16string& text)
    : MessagePage(parent, picture, text) {
  checkBox = append(gtk_check_button_new_with_label(text_of("IDS_SUCCESS_OPENDESCR").c_str()));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBox), TRUE);
  gtk_fixed_put(GTK_FIXED(parent), checkBox, 170, 170);
}

bool SuccessFinalPage::isShowReadmeChecked() const {
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBox));
}

DirSelectPage::DirSelectPage(GtkWidget* parent, GdkPixbuf* picture) : WizardDialogPage(parent) {
  image = addPicture(picture);
  promptLabel = append(createMainAreaLabel(parent));
  gtk_label_set_text(GTK_LABEL(promptLabel), text_of("IDS_DESTINATION_PROMPT").c_str());
  catalogLabel = append(gtk_label_new(text_of("IDS_TEMPLATE_CATALOG").c_str()));
  gtk_fixed_put(GTK_FIXED(parent), catalogLabel, 170, 255);
  entry = append(gtk_entry_new());
  gtk_widget_set_size_request(entry, 280, 30);
  gtk_fixed_put(GTK_FIXED(parent), entry, 170, 275);
  browseButton = append(gtk_button_new_with_label("..."));
  gtk_widget_set_size_request(browseButton, 30, 30);
  gtk_fixed_put(GTK_FIXED(parent), browseButton, 460, 275);
  g_signal_connect(browseButton, "clicked", G_CALLBACK(button_clicked_handler), this);
}

void DirSelectPage::setPath(const std::string& path) {
  gtk_entry_set_text(GTK_ENTRY(entry), path.c_str());
}

void DirSelectPage::setPath(const std::u16string& path) { setPath(narrow_lib(path)); }

std::u16string DirSelectPage::getPath() const {
  const gchar* text = gtk_entry_get_text(GTK_ENTRY(entry));
  return text ? widen_lib(text) : std::u16string();
}

void DirSelectPage::showDirDialog() {
  GtkWidget* chooser = gtk_file_chooser_dialog_new(
      nullptr, nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  const int answer = g_folderChooserRunner ? g_folderChooserRunner(chooser)
                                           : gtk_dialog_run(GTK_DIALOG(chooser));
  if (answer == GTK_RESPONSE_ACCEPT) {
    // A remote location has no local name; the entry then stays as it was.
    gchar* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (folder) {
      setPath(std::string(folder));
      g_free(folder);
    }
  }
  gtk_widget_destroy(chooser);
}

int button_clicked_handler(GtkWidget*, void* page) {
  if (page) static_cast<DirSelectPage*>(page)->showDirDialog();
  return 0;
}

ProgressPage::ProgressPage(GtkWidget* parent, int barWidth) : WizardDialogPage(parent) {
  label = append(gtk_label_new(nullptr));
  gtk_fixed_put(GTK_FIXED(parent), label, 10, 130);
  progressBar = append(gtk_progress_bar_new());
  gtk_widget_set_size_request(progressBar, barWidth, 20);
  gtk_fixed_put(GTK_FIXED(parent), progressBar, 10, 150);
  startText = text_of("IDS_PROGRESS_START");
  finishText = text_of("IDS_INSTALL_FINISH");
  setProgress(0);
}

void ProgressPage::setProgress(int percent) {
  gtk_label_set_text(GTK_LABEL(label), (percent == 100 ? finishText : startText).c_str());
  const double fraction = percent / 100.0;
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressBar),
                                fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
}
