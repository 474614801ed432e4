// The pages of the wizard. A page owns no window or container: its widgets
// are children of the wizard's GtkFixed at absolute coordinates, created
// hidden, and the page is shown or hidden by showing or hiding each of them
// in the order they were made (CInstallerDlg::setCurPage).
#ifndef OVN8_UI_WIZARD_PAGES_H_
#define OVN8_UI_WIZARD_PAGES_H_

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The wizard's client area and the margin that keeps every widget off its
// edges (the banner picture alone reaches the edge).
constexpr int kWizardWidth = 500;
constexpr int kWizardHeight = 360;
constexpr int kWindowMargin = 10;

// The size a widget asks for when no size is forced on it.
GtkRequisition natural_size(GtkWidget* widget);
// A label stays on one line when that fits in `maxWidth`, else it wraps at
// `maxWidth`.
void fit_label_width(GtkWidget* label, int maxWidth);
// The same for a check button's text, so that the whole box fits.
void fit_check_box_width(GtkWidget* checkBox, int maxWidth);
// Tells screen readers that `label` names `widget`: the two relations, and
// the label's text as the widget's name.
void label_for(GtkWidget* label, GtkWidget* widget);
// The height of a label's text as laid out at its width.
int label_text_height(GtkWidget* label);
// A button with a plain label (no mnemonic, no stock icon) in a dialog's
// action area.
void add_dialog_button(GtkWidget* dialog, const std::string& label, int response);

class WizardDialogPage {
 public:
  explicit WizardDialogPage(GtkWidget* parent) : parent(parent) {}
  // Called right after the page's widgets have been shown.
  virtual void onShow() {}
  // The widget that takes the focus when the page opens; null leaves it to
  // the wizard's buttons.
  virtual GtkWidget* focusWidget() { return nullptr; }
  // Pages live as long as the dialog, which deletes them at its end.
  virtual ~WizardDialogPage() = default;

  const std::vector<GtkWidget*>& getWidgets() const { return widgets; }

 protected:
  // Remembers a new widget; the list's order is the showing order.
  GtkWidget* append(GtkWidget* widget);
  // The banner picture at 0, 0.
  GtkWidget* addPicture(GdkPixbuf* picture);

  GtkWidget* parent;
  std::vector<GtkWidget*> widgets;
};

// A label without text: 320 x 250 at 170, 10 (up to the window's margin),
// wrapping its lines and aligned to its top-left corner. Not yet shown.
GtkWidget* createMainAreaLabel(GtkWidget* parent);

// The banner and a text: the welcome page and the final pages.
class MessagePage : public WizardDialogPage {
 public:
  MessagePage(GtkWidget* parent, GdkPixbuf* picture, const std::u16string& text);
  void setMessage(const std::u16string& text);

  GtkWidget* image;
  GtkWidget* label;
};

// The success page: a message page with a check box that asks whether to
// open the kit's description document (on by default).
class SuccessFinalPage : public MessagePage {
 public:
  SuccessFinalPage(GtkWidget* parent, GdkPixbuf* picture, const std::u16string& text);
  bool isShowReadmeChecked() const;
  // Keeps the check box inside the window, wrapping its text where long,
  // and below the message when the message reaches down to it.
  void layoutCheckBox();

  GtkWidget* checkBox;
};

// The choice of the template directory: an entry and a browse button that
// opens a folder chooser.
class DirSelectPage : public WizardDialogPage {
 public:
  DirSelectPage(GtkWidget* parent, GdkPixbuf* picture);
  void onShow() override {}
  GtkWidget* focusWidget() override { return entry; }

  void setPath(const std::string& path);
  void setPath(const std::u16string& path);
  // The entry's text; empty when the entry yields none.
  std::u16string getPath() const;
  // Runs the folder chooser; an accepted local folder replaces the entry.
  void showDirDialog();
  // The space the kit's files need; the label under the field says it
  // with the space free where the field's path lies.
  void setNeededSpace(uint64_t bytes);
  void updateSpace();
  // Tells the space free where a typed path would lie ("~" and relative
  // paths taken as Next takes them); false when it cannot be told.
  typedef std::function<bool(const std::u16string& typed, uint64_t& freeBytes)> FreeSpaceProbe;
  void setFreeSpaceProbe(FreeSpaceProbe probe) { freeSpaceProbe = probe; }
  // The space free for the field's path; false when it cannot be told.
  bool freeSpace(uint64_t& freeBytes) const;
  uint64_t neededBytes = 0;
  FreeSpaceProbe freeSpaceProbe;
  // The free space shown is less than the kit's files need.
  bool tooLittleSpace = false;
  // What `directory` holds already (an installation of this kit), said
  // under the prompt while the field names that directory; empty: nothing.
  void setInstalledNote(const std::u16string& directory, const std::u16string& note);
  void updatePrompt();
  std::u16string noteDirectory;
  std::u16string noteText;

  GtkWidget* image;
  GtkWidget* entry;
  GtkWidget* promptLabel;
  GtkWidget* catalogLabel;
  GtkWidget* browseButton;
  GtkWidget* spaceLabel;

 private:
  void placeField();
  static void on_path_changed(GtkWidget* entry, void* page);
};

// What to do with an installation of this kit found in the chosen
// directory: what the record says of it, then Repair, Remove or Install
// again as radio buttons under it (Repair chosen at first).
class MaintenancePage : public WizardDialogPage {
 public:
  enum class Choice { kRepair, kRemove, kInstall };
  MaintenancePage(GtkWidget* parent, GdkPixbuf* picture);
  GtkWidget* focusWidget() override;
  // The installation's lines above the question; the buttons move under them.
  void setInstalledText(const std::u16string& text);
  Choice choice() const;
  void choose(Choice choice);

  GtkWidget* image;
  GtkWidget* label;
  GtkWidget* options[3];
};

// "clicked" of the browse button; `page` is the DirSelectPage.
int button_clicked_handler(GtkWidget* widget, void* page);

// A heading, the template directory being installed into, a status text,
// a progress bar, and under it the file being written with how far the run
// is ("12 of 40"), stacked from the top of the window.
class ProgressPage : public WizardDialogPage {
 public:
  ProgressPage(GtkWidget* parent, int barWidth);
  // "Template directory: /t", wrapped when long.
  void setTarget(const std::u16string& directory);
  // 0..100; the text switches to the finishing text at exactly 100.
  void setProgress(int percent);
  // The entry being written (its name in the directory) and the count text.
  void setCurrentEntry(const std::u16string& name, const std::u16string& count);
  // The rollback: the restoring text, the bar counting `left` of `total`
  // down, no file under it.
  void setRestoring(uint32_t left, uint32_t total);
  // What the run is: the heading, the status while it goes on and once
  // it is over (resource keys).
  void setJob(const char* headingKey, const char* startKey, const char* finishKey);

  GtkWidget* heading;
  GtkWidget* targetLabel;
  GtkWidget* label;
  GtkWidget* progressBar;
  GtkWidget* fileLabel;
  GtkWidget* countLabel;
  std::string startText;
  std::string finishText;
  std::string restoringText;

 private:
  void setStatus(const std::string& text);
  void setFraction(double fraction);
  // Each part right under the one above, as high as its text needs.
  void layout();
  int barWidth_;
};

// Test seam: while set, showDirDialog calls this with the chooser (already
// modal, not yet run) instead of gtk_dialog_run, and takes its answer.
typedef int (*FolderChooserRunner)(GtkWidget* chooser);
void set_folder_chooser_runner(FolderChooserRunner runner);

#endif  // OVN8_UI_WIZARD_PAGES_H_
