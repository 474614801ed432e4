#include "ui/wizard_pages.h"

#include <algorithm>

#include "platform/message_box.h"
#include "platform/message_box_dialog.h"
#include "platform/path.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/chooser_paths.h"
#include "ui/mnemonics.h"

namespace {

FolderChooserRunner g_folderChooserRunner = nullptr;

std::string text_of(const char* key) { return narrow_lib(LoadResString(key)); }

std::string markup_span(const std::string& text, const char* attributes) {
  gchar* escaped = g_markup_escape_text(text.c_str(), -1);
  const std::string markup = std::string("<span ") + attributes + ">" + escaped + "</span>";
  g_free(escaped);
  return markup;
}

std::string markup_bold(const std::string& text) { return markup_span(text, "weight=\"bold\""); }

std::string markup_warning(const std::string& text) {
  return markup_span(text, "weight=\"bold\" foreground=\"#b00000\"");
}

// The page area right of the banner; its right edge keeps the window's
// margin, so no text touches the border.
const int kMainAreaX = 170;
const int kMainAreaY = 10;
const int kMainAreaWidth = kWizardWidth - kWindowMargin - kMainAreaX;
const int kMainAreaHeight = 250;
const int kCheckBoxY = 170;
// The field sits high enough to leave a line under it for the space.
const int kCatalogLabelY = 225;
const int kEntryY = 245;
const int kEntryHeight = 30;
const int kSpaceLabelY = kEntryY + kEntryHeight + 6;
// The lowest a page's text may reach: above the separator, also when a
// large font raises the button row.
const int kPageBottom = 300;
const int kBrowseX = 460;
const int kProgressX = 10;
const int kProgressBarHeight = 20;
// Between the bar and the line under it, and between the file and the count.
const int kProgressGap = 8;
// Between the heading with the directory and the run's status.
const int kProgressSectionGap = 24;

// Word wrap that still breaks a word longer than the line (a product name
// or a path without blanks), with no hyphen added inside a name.
void wrap_lines(GtkWidget* label) { wrap_without_hyphens(label); }

// The height a widget asks for at the width it was given (a wrapping label
// at its width).
int requested_height(GtkWidget* widget) {
  GtkRequisition size = {0, 0};
  gtk_widget_size_request(widget, &size);
  return size.height;
}

}  // namespace

GtkRequisition natural_size(GtkWidget* widget) {
  gint forcedWidth = -1, forcedHeight = -1;
  gtk_widget_get_size_request(widget, &forcedWidth, &forcedHeight);
  gtk_widget_set_size_request(widget, -1, -1);
  GtkRequisition size = {0, 0};
  gtk_widget_size_request(widget, &size);
  gtk_widget_set_size_request(widget, forcedWidth, forcedHeight);
  return size;
}

void fit_label_width(GtkWidget* label, int maxWidth) {
  gtk_label_set_line_wrap(GTK_LABEL(label), FALSE);
  gtk_widget_set_size_request(label, -1, -1);
  if (natural_size(label).width <= maxWidth) return;
  wrap_lines(label);
  gtk_widget_set_size_request(label, maxWidth, -1);
}

void fit_check_box_width(GtkWidget* checkBox, int maxWidth) {
  GtkWidget* label = gtk_bin_get_child(GTK_BIN(checkBox));
  fit_label_width(label, INT_MAX);
  const int whole = natural_size(checkBox).width;
  if (whole <= maxWidth) return;
  // The indicator and its spacing take the same room whatever the text.
  fit_label_width(label, maxWidth - (whole - natural_size(label).width));
}

void label_for(GtkWidget* label, GtkWidget* widget) {
  AtkObject* labelObject = gtk_widget_get_accessible(label);
  AtkObject* widgetObject = gtk_widget_get_accessible(widget);
  atk_object_add_relationship(labelObject, ATK_RELATION_LABEL_FOR, widgetObject);
  atk_object_add_relationship(widgetObject, ATK_RELATION_LABELLED_BY, labelObject);
  atk_object_set_name(widgetObject, gtk_label_get_text(GTK_LABEL(label)));
}

int label_text_height(GtkWidget* label) {
  natural_size(label);  // lays the text out at the label's current width
  int width = 0, height = 0;
  pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &width, &height);
  return height;
}

void set_folder_chooser_runner(FolderChooserRunner runner) { g_folderChooserRunner = runner; }

GtkWidget* WizardDialogPage::append(GtkWidget* widget) {
  widgets.push_back(widget);
  return widget;
}

GtkWidget* WizardDialogPage::addPicture(GdkPixbuf* picture) {
  GtkWidget* image = append(gtk_image_new_from_pixbuf(picture));
  // Not an unnamed icon to a screen reader: the banner stands for the wizard.
  atk_object_set_name(gtk_widget_get_accessible(image), text_of("IDR_MAINFRAME").c_str());
  gtk_container_add(GTK_CONTAINER(parent), image);
  return image;
}

GtkWidget* createMainAreaLabel(GtkWidget* parent) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_widget_set_size_request(label, kMainAreaWidth, kMainAreaHeight);
  wrap_lines(label);
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
  checkBox = append(gtk_check_button_new_with_mnemonic(mnemonic_text("IDS_SUCCESS_OPENDESCR").c_str()));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBox), TRUE);
  gtk_fixed_put(GTK_FIXED(parent), checkBox, kMainAreaX, kCheckBoxY);
  layoutCheckBox();
}

void SuccessFinalPage::layoutCheckBox() {
  fit_check_box_width(checkBox, kMainAreaWidth);
  // Below the message when the message reaches down to it.
  const int belowText = kMainAreaY + label_text_height(label) + kWindowMargin;
  gtk_fixed_move(GTK_FIXED(parent), checkBox, kMainAreaX, std::max(kCheckBoxY, belowText));
}

bool SuccessFinalPage::isShowReadmeChecked() const {
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBox));
}

DirSelectPage::DirSelectPage(GtkWidget* parent, GdkPixbuf* picture) : WizardDialogPage(parent) {
  image = addPicture(picture);
  promptLabel = append(createMainAreaLabel(parent));
  gtk_label_set_text(GTK_LABEL(promptLabel), text_of("IDS_DESTINATION_PROMPT").c_str());
  gtk_widget_set_size_request(promptLabel, kMainAreaWidth, kCatalogLabelY - kWindowMargin - kMainAreaY);
  catalogLabel = append(gtk_label_new_with_mnemonic(mnemonic_text("IDS_TEMPLATE_CATALOG").c_str()));
  gtk_misc_set_alignment(GTK_MISC(catalogLabel), 0, 0);
  gtk_fixed_put(GTK_FIXED(parent), catalogLabel, kMainAreaX, kCatalogLabelY);
  fit_label_width(catalogLabel, kMainAreaWidth);
  entry = append(gtk_entry_new());
  gtk_widget_set_size_request(entry, 280, kEntryHeight);
  gtk_fixed_put(GTK_FIXED(parent), entry, kMainAreaX, kEntryY);
  // Enter in the field is Next (the window's default button).
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  browseButton = append(gtk_button_new_with_label("..."));
  gtk_widget_set_size_request(browseButton, 30, 30);
  gtk_fixed_put(GTK_FIXED(parent), browseButton, kBrowseX, kEntryY);
  // For screen readers: the field is the one "Template directory:" names,
  // and the button says what it does (also as its tooltip), not "...".
  gtk_label_set_mnemonic_widget(GTK_LABEL(catalogLabel), entry);
  label_for(catalogLabel, entry);
  const std::string browse = text_of("IDS_BROWSE_TOOLTIP");
  gtk_widget_set_tooltip_text(browseButton, browse.c_str());
  atk_object_set_name(gtk_widget_get_accessible(browseButton), browse.c_str());
  g_signal_connect(browseButton, "clicked", G_CALLBACK(button_clicked_handler), this);
  spaceLabel = append(gtk_label_new(nullptr));
  gtk_misc_set_alignment(GTK_MISC(spaceLabel), 0, 0);
  gtk_fixed_put(GTK_FIXED(parent), spaceLabel, kMainAreaX, kSpaceLabelY);
  g_signal_connect(entry, "changed", G_CALLBACK(on_path_changed), this);
  placeField();
}

// The label, the field and the space line under it move up together when
// the space line needs more room than is left above the buttons; a label
// that needs more lines (or a larger font) grows upwards, so that it never
// reaches into the field below it.
void DirSelectPage::placeField() {
  const int overflow = std::max(0, kSpaceLabelY + requested_height(spaceLabel) - kPageBottom);
  const int entryY = kEntryY - overflow;
  gtk_fixed_move(GTK_FIXED(parent), entry, kMainAreaX, entryY);
  gtk_fixed_move(GTK_FIXED(parent), browseButton, kBrowseX, entryY);
  gtk_fixed_move(GTK_FIXED(parent), spaceLabel, kMainAreaX, kSpaceLabelY - overflow);
  const int catalogY = std::min(kCatalogLabelY - overflow, entryY - requested_height(catalogLabel));
  gtk_fixed_move(GTK_FIXED(parent), catalogLabel, kMainAreaX, catalogY);
}

void DirSelectPage::on_path_changed(GtkWidget*, void* page) {
  static_cast<DirSelectPage*>(page)->updateSpace();
  static_cast<DirSelectPage*>(page)->updatePrompt();
}

void DirSelectPage::setInstalledNote(const std::u16string& directory, const std::u16string& note) {
  noteDirectory = without_trailing_separator(directory);
  noteText = note;
  updatePrompt();
}

// A path typed since names another folder, of which nothing is known yet.
void DirSelectPage::updatePrompt() {
  std::string text = text_of("IDS_DESTINATION_PROMPT");
  if (!noteText.empty() && without_trailing_separator(getPath()) == noteDirectory)
    text += "\n\n" + narrow_lib(noteText);
  if (text != gtk_label_get_text(GTK_LABEL(promptLabel))) gtk_label_set_text(GTK_LABEL(promptLabel), text.c_str());
}

void DirSelectPage::setNeededSpace(uint64_t bytes) {
  neededBytes = bytes;
  updateSpace();
}

bool DirSelectPage::freeSpace(uint64_t& freeBytes) const {
  return freeSpaceProbe && freeSpaceProbe(getPath(), freeBytes);
}

// What the kit's files need and what the field's file system has free; only
// what is known is said.
void DirSelectPage::updateSpace() {
  uint64_t freeBytes = 0;
  std::string text;
  const bool known = freeSpace(freeBytes);
  if (known)
    text = narrow_lib(FormatResString("IDS_SPACE_INFO",
                                      {sizeText(neededBytes, true), sizeText(freeBytes, false)}));
  // Too little room stands out before Next refuses the folder.
  tooLittleSpace = known && freeBytes < neededBytes;
  if (tooLittleSpace)
    gtk_label_set_markup(GTK_LABEL(spaceLabel), markup_warning(text).c_str());
  else
    gtk_label_set_text(GTK_LABEL(spaceLabel), text.c_str());
  fit_label_width(spaceLabel, kMainAreaWidth);
  placeField();
  // A screen reader tells it with the field.
  atk_object_set_description(gtk_widget_get_accessible(entry), text.c_str());
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
  // Transient for the wizard (centred on it, kept above it) and with
  // buttons in the interface language, not in the system's.
  GtkWidget* toplevel = gtk_widget_get_toplevel(entry);
  GtkWindow* window = gtk_widget_is_toplevel(toplevel) ? GTK_WINDOW(toplevel) : nullptr;
  GtkWidget* chooser =
      gtk_file_chooser_dialog_new(text_of("IDS_CHOOSEDIR_TITLE").c_str(), window,
                                  GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, nullptr, nullptr);
  add_dialog_button(chooser, text_of("IDS_BROWSE_CANCEL"), GTK_RESPONSE_CANCEL);
  add_dialog_button(chooser, text_of("IDS_BROWSE_OPEN"), GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  if (window) gtk_window_set_position(GTK_WINDOW(chooser), GTK_WIN_POS_CENTER_ON_PARENT);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  // It opens at the folder in the field (or the nearest one that exists),
  // showing hidden folders when the field's folder lies among them, as the
  // proposed one under ~/.ovn8 does.
  const std::u16string field = getPath();
  const std::u16string start = chooserStartFolder(field, home_dir());
  GtkFileChooser* files = GTK_FILE_CHOOSER(chooser);
  gtk_file_chooser_set_local_only(files, TRUE);
  if (hasHiddenComponent(field) || hasHiddenComponent(start))
    gtk_file_chooser_set_show_hidden(files, TRUE);
  gtk_file_chooser_set_current_folder(files, narrow_lib(start).c_str());
  const int answer = g_folderChooserRunner ? g_folderChooserRunner(chooser)
                                           : gtk_dialog_run(GTK_DIALOG(chooser));
  if (answer == GTK_RESPONSE_ACCEPT) {
    // A remote location has no local name, and only an absolute folder is
    // a template directory; otherwise the entry stays as it was.
    gchar* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (folder && folder[0] == '/') setPath(std::string(folder));
    g_free(folder);
  }
  gtk_widget_destroy(chooser);
}

void add_dialog_button(GtkWidget* dialog, const std::string& label, int response) {
  GtkWidget* button = gtk_button_new_with_label(label.c_str());
  gtk_widget_set_can_default(button, TRUE);
  gtk_widget_show(button);
  gtk_dialog_add_action_widget(GTK_DIALOG(dialog), button, response);
}

MaintenancePage::MaintenancePage(GtkWidget* parent, GdkPixbuf* picture) : WizardDialogPage(parent) {
  image = addPicture(picture);
  label = append(createMainAreaLabel(parent));
  const char* const keys[] = {"IDS_MAINT_OPT_REPAIR", "IDS_MAINT_OPT_REMOVE", "IDS_MAINT_OPT_INSTALL"};
  GSList* group = nullptr;
  for (int i = 0; i < 3; ++i) {
    options[i] = append(gtk_radio_button_new_with_mnemonic(group, mnemonic_text(keys[i]).c_str()));
    group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(options[i]));
    gtk_fixed_put(GTK_FIXED(parent), options[i], kMainAreaX, kMainAreaY);
    fit_check_box_width(options[i], kMainAreaWidth);
  }
  setInstalledText(std::u16string());
}

GtkWidget* MaintenancePage::focusWidget() { return options[int(choice())]; }

void MaintenancePage::setInstalledText(const std::u16string& text) {
  const std::string whole = narrow_lib(text) + (text.empty() ? "" : "\n\n") + text_of("IDS_MAINT_CHOICE");
  gtk_label_set_text(GTK_LABEL(label), whole.c_str());
  fit_label_width(label, kMainAreaWidth);
  int y = kMainAreaY + requested_height(label) + kWindowMargin;
  for (GtkWidget* option : options) {
    gtk_fixed_move(GTK_FIXED(parent), option, kMainAreaX, y);
    y += requested_height(option) + kProgressGap / 2;
  }
}

MaintenancePage::Choice MaintenancePage::choice() const {
  for (int i = 0; i < 3; ++i)
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(options[i]))) return Choice(i);
  return Choice::kRepair;
}

void MaintenancePage::choose(Choice choice) {
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(options[int(choice)]), TRUE);
}

int button_clicked_handler(GtkWidget*, void* page) {
  if (page) static_cast<DirSelectPage*>(page)->showDirDialog();
  return 0;
}

ProgressPage::ProgressPage(GtkWidget* parent, int barWidth)
    : WizardDialogPage(parent), barWidth_(barWidth) {
  heading = append(gtk_label_new(nullptr));
  gtk_label_set_markup(GTK_LABEL(heading), markup_bold(text_of("IDS_TITLE_INSTALLER")).c_str());
  gtk_misc_set_alignment(GTK_MISC(heading), 0, 0);
  fit_label_width(heading, barWidth);
  gtk_fixed_put(GTK_FIXED(parent), heading, kProgressX, kWindowMargin);
  targetLabel = append(gtk_label_new(nullptr));
  gtk_misc_set_alignment(GTK_MISC(targetLabel), 0, 0);
  gtk_fixed_put(GTK_FIXED(parent), targetLabel, kProgressX, kWindowMargin);
  label = append(gtk_label_new(nullptr));
  gtk_misc_set_alignment(GTK_MISC(label), 0, 0);
  gtk_fixed_put(GTK_FIXED(parent), label, kProgressX, kWindowMargin);
  progressBar = append(gtk_progress_bar_new());
  gtk_widget_set_size_request(progressBar, barWidth, kProgressBarHeight);
  gtk_fixed_put(GTK_FIXED(parent), progressBar, kProgressX, kWindowMargin);
  label_for(label, progressBar);
  // Under the bar: the file on the left, cut in its middle when long (the
  // start and the name matter most), the count on the right.
  fileLabel = append(gtk_label_new(nullptr));
  gtk_misc_set_alignment(GTK_MISC(fileLabel), 0, 0);
  gtk_label_set_ellipsize(GTK_LABEL(fileLabel), PANGO_ELLIPSIZE_MIDDLE);
  countLabel = append(gtk_label_new(nullptr));
  gtk_misc_set_alignment(GTK_MISC(countLabel), 1, 0);
  gtk_fixed_put(GTK_FIXED(parent), fileLabel, kProgressX, kWindowMargin);
  gtk_fixed_put(GTK_FIXED(parent), countLabel, kProgressX, kWindowMargin);
  startText = text_of("IDS_PROGRESS_START");
  finishText = text_of("IDS_INSTALL_FINISH");
  restoringText = text_of("IDS_PROGRESS_ROLLBACK");
  setProgress(0);
}

void ProgressPage::setTarget(const std::u16string& directory) {
  const std::string text = text_of("IDS_TEMPLATE_CATALOG") + " " + narrow_lib(printable(directory));
  gtk_label_set_text(GTK_LABEL(targetLabel), text.c_str());
  // A long path wraps (at its slashes where it can): the whole of it is seen.
  fit_label_width(targetLabel, barWidth_);
  layout();
}

void ProgressPage::layout() {
  int y = kWindowMargin;
  auto place = [this, &y](GtkWidget* widget, int gapAfter) {
    gtk_fixed_move(GTK_FIXED(parent), widget, kProgressX, y);
    y += natural_size(widget).height + gapAfter;
  };
  place(heading, kProgressGap);
  place(targetLabel, kProgressSectionGap);
  place(label, kProgressGap / 2);
  gtk_fixed_move(GTK_FIXED(parent), progressBar, kProgressX, y);
  y += kProgressBarHeight + kProgressGap;
  gtk_fixed_move(GTK_FIXED(parent), fileLabel, kProgressX, y);
  const bool counted = gtk_label_get_text(GTK_LABEL(countLabel))[0] != '\0';
  gtk_fixed_move(GTK_FIXED(parent), countLabel,
                 counted ? kProgressX + barWidth_ - natural_size(countLabel).width : kProgressX, y);
}

void ProgressPage::setStatus(const std::string& text) {
  if (text == gtk_label_get_text(GTK_LABEL(label))) return;
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  fit_label_width(label, kWizardWidth - kWindowMargin - kProgressX);
  // The bar is announced by what the page says it is doing.
  atk_object_set_name(gtk_widget_get_accessible(progressBar), text.c_str());
  layout();
}

void ProgressPage::setFraction(double fraction) {
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressBar),
                                fraction < 0 ? 0 : fraction > 1 ? 1 : fraction);
}

void ProgressPage::setProgress(int percent) {
  setStatus(percent == 100 ? finishText : startText);
  if (percent == 100) setCurrentEntry(std::u16string(), std::u16string());
  setFraction(percent / 100.0);
}

void ProgressPage::setCurrentEntry(const std::u16string& name, const std::u16string& count) {
  const std::string countText = narrow_lib(count);
  if (countText != gtk_label_get_text(GTK_LABEL(countLabel))) {
    gtk_label_set_text(GTK_LABEL(countLabel), countText.c_str());
    const int countWidth = natural_size(countLabel).width;
    gtk_widget_set_size_request(countLabel, countWidth, -1);
    // The file takes what the count leaves.
    gtk_widget_set_size_request(fileLabel, std::max(0, barWidth_ - countWidth - kProgressGap), -1);
    atk_object_set_name(gtk_widget_get_accessible(countLabel), countText.c_str());
    layout();
  }
  const std::string file = narrow_lib(name);
  if (file != gtk_label_get_text(GTK_LABEL(fileLabel))) {
    gtk_label_set_text(GTK_LABEL(fileLabel), file.c_str());
    // Told with the text, not a step behind it; the whole name, though the
    // label may show it cut.
    atk_object_set_name(gtk_widget_get_accessible(fileLabel), file.c_str());
  }
}

void ProgressPage::setJob(const char* headingKey, const char* startKey, const char* finishKey) {
  gtk_label_set_markup(GTK_LABEL(heading), markup_bold(text_of(headingKey)).c_str());
  fit_label_width(heading, barWidth_);
  startText = text_of(startKey);
  finishText = text_of(finishKey);
  layout();
}

void ProgressPage::setRestoring(uint32_t left, uint32_t total) {
  setStatus(restoringText);
  setCurrentEntry(std::u16string(), std::u16string());
  setFraction(total == 0 ? 0 : double(left) / total);
}
