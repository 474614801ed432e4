// The pages of the wizard. A page owns no window or container: its widgets
// are children of the wizard's GtkFixed at absolute coordinates, created
// hidden, and the page is shown or hidden by showing or hiding each of them
// in the order they were made (CInstallerDlg::setCurPage).
#ifndef OVN8_UI_WIZARD_PAGES_H_
#define OVN8_UI_WIZARD_PAGES_H_

#include <gtk/gtk.h>

#include <string>
#include <vector>

class WizardDialogPage {
 public:
  explicit WizardDialogPage(GtkWidget* parent) : parent(parent) {}
  // Called right after the page's widgets have been shown.
  virtual void onShow() {}
  // Pages live as long as the dialog, which deletes them at its end.
  virtual ~WizardDialogPage() = default;

  GtkWidget* getParent() const { return parent; }
  const std::vector<GtkWidget*>& getWidgets() const { return widgets; }

 protected:
  // Remembers a new widget; the list's order is the showing order.
  GtkWidget* append(GtkWidget* widget);
  // The banner picture at 0, 0.
  GtkWidget* addPicture(GdkPixbuf* picture);

  GtkWidget* parent;
  std::vector<GtkWidget*> widgets;
};

// A label without text: 330 x 250 at 170, 10, wrapping its lines and
// aligned to its top-left corner. Not yet shown.
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

  GtkWidget* checkBox;
};

// The choice of the template directory: an entry and a browse button that
// opens a folder chooser.
class DirSelectPage : public WizardDialogPage {
 public:
  DirSelectPage(GtkWidget* parent, GdkPixbuf* picture);
  void onShow() override {}

  void setPath(const std::string& path);
  void setPath(const std::u16string& path);
  // The entry's text; empty when the entry yields none.
  std::u16string getPath() const;
  // Runs the folder chooser; an accepted local folder replaces the entry.
  void showDirDialog();

  GtkWidget* image;
  GtkWidget* entry;
  GtkWidget* promptLabel;
  GtkWidget* catalogLabel;
  GtkWidget* browseButton;
};

// "clicked" of the browse button; `page` is the DirSelectPage.
int button_clicked_handler(GtkWidget* widget, void* page);

// A status text and a progress bar.
class ProgressPage : public WizardDialogPage {
 public:
  ProgressPage(GtkWidget* parent, int barWidth);
  // 0..100; the text switches to the finishing text at exactly 100.
  void setProgress(int percent);

  GtkWidget* label;
  GtkWidget* progressBar;
  std::string startText;
  std::string finishText;
};

// Test seam: while set, showDirDialog calls this with the chooser (already
// modal, not yet run) instead of gtk_dialog_run, and takes its answer.
typedef int (*FolderChooserRunner)(GtkWidget* chooser);
void set_folder_chooser_runner(FolderChooserRunner runner);

#endif  // OVN8_UI_WIZARD_PAGES_H_
