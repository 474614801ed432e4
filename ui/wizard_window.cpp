// The wizard's window: its widgets, the button row, the page switching and
// where the focus goes.
#include <algorithm>
#include <string>

#include "platform/text.h"
#include "resources/lang.h"
#include "resources/pictures.h"
#include "ui/installer_dlg.h"
#include "ui/mnemonics.h"

namespace {

// The button row: 80 x 30 at y = 320, a 20-pixel gap between Next and
// Cancel, the separator 10 pixels above the row.
const int kButtonMinWidth = 80;
const int kButtonMinHeight = 30;
const int kButtonRowY = 320;
const int kButtonGap = 20;
const int kSeparatorY = 310;
// The toolkit asks for a few pixels around a button's label only; a label
// that needs the width of the button gets this much air besides.
const int kButtonTextPadding = 12;

}  // namespace

void CInstallerDlg::showMainWindow() {
  mainWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  initMainWindow();
  gtk_window_set_title(GTK_WINDOW(mainWindow), title.c_str());

  separator = gtk_hseparator_new();
  gtk_widget_set_size_request(separator, width - 20, 5);
  gtk_fixed_put(GTK_FIXED(fixed), separator, 10, 310);

  buttonPrev = gtk_button_new();
  setLabel(buttonPrev, "IDS_WIZARD_BACK");
  gtk_fixed_put(GTK_FIXED(fixed), buttonPrev, 230, 320);

  buttonNext = gtk_button_new();
  setLabel(buttonNext, "IDS_WIZARD_NEXT");
  gtk_fixed_put(GTK_FIXED(fixed), buttonNext, 310, 320);
  gtk_widget_set_can_default(buttonNext, TRUE);
  gtk_widget_grab_default(buttonNext);

  buttonCancel = gtk_button_new();
  setLabel(buttonCancel, "IDS_WIZARD_CANCEL");
  gtk_fixed_put(GTK_FIXED(fixed), buttonCancel, 410, 320);
  layoutButtons();

  g_signal_connect(buttonPrev, "clicked", G_CALLBACK(on_buttonPrev_clicked), this);
  g_signal_connect(buttonNext, "clicked", G_CALLBACK(on_buttonNext_clicked), this);
  g_signal_connect(buttonCancel, "clicked", G_CALLBACK(button_clicked_handler), this);

  gtk_widget_show_all(fixed);
  backImage = gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kBannerXpm));
  gtk_widget_show(mainWindow);
}

// The three buttons share one width, the widest that any of their labels
// needs at the desktop's font (Next also carries Finish), never less than
// 80; Cancel keeps the right margin, Next stands 20 pixels left of it and
// Back right against Next. A taller font moves the row and the separator up.
void CInstallerDlg::layoutButtons() {
  const char* const keys[] = {"IDS_WIZARD_BACK", "IDS_WIZARD_NEXT", "IDS_WIZARD_FINISH",
                              "IDS_WIZARD_CANCEL"};
  const std::string nextLabel = gtk_button_get_label(GTK_BUTTON(buttonNext));
  const char* nextKey = keys[1];
  int needed[4] = {};
  int buttonHeight = kButtonMinHeight;
  for (int i = 0; i < 4; ++i) {
    if (nextLabel == mnemonic_text(keys[i])) nextKey = keys[i];
    setLabel(buttonNext, keys[i]);
    const GtkRequisition size = natural_size(buttonNext);
    needed[i] = std::max(kButtonMinWidth, int(size.width) + kButtonTextPadding);
    buttonHeight = std::max(buttonHeight, int(size.height));
  }
  setLabel(buttonNext, nextKey);

  int back = std::max({needed[0], needed[1], needed[2], needed[3]});
  int next = back, cancel = back;
  const int room = width - 2 * kWindowMargin - kButtonGap;
  if (3 * back > room) {
    // One width for all would not fit the row: each gets what it needs.
    back = needed[0];
    next = std::max(needed[1], needed[2]);
    cancel = needed[3];
  }
  const int y = std::min(kButtonRowY, height - kWindowMargin - buttonHeight);
  const int cancelX = width - kWindowMargin - cancel;
  const int nextX = cancelX - kButtonGap - next;
  gtk_widget_set_size_request(buttonPrev, back, buttonHeight);
  gtk_widget_set_size_request(buttonNext, next, buttonHeight);
  gtk_widget_set_size_request(buttonCancel, cancel, buttonHeight);
  gtk_fixed_move(GTK_FIXED(fixed), buttonCancel, cancelX, y);
  gtk_fixed_move(GTK_FIXED(fixed), buttonNext, nextX, y);
  gtk_fixed_move(GTK_FIXED(fixed), buttonPrev, nextX - back, y);
  gtk_fixed_move(GTK_FIXED(fixed), separator, kWindowMargin, y - kButtonRowY + kSeparatorY);
}

void CInstallerDlg::initMainWindow() {
  gtk_window_set_position(GTK_WINDOW(mainWindow), GTK_WIN_POS_CENTER);
  GdkGeometry hints = {};
  hints.min_width = hints.max_width = hints.base_width = width;
  hints.min_height = hints.max_height = hints.base_height = height;
  gtk_window_set_geometry_hints(
      GTK_WINDOW(mainWindow), mainWindow, &hints,
      GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE | GDK_HINT_BASE_SIZE));
  gtk_window_set_modal(GTK_WINDOW(mainWindow), TRUE);
  // A normal window: the window manager offers to minimise it.
  gtk_window_set_type_hint(GTK_WINDOW(mainWindow), GDK_WINDOW_TYPE_HINT_NORMAL);
  icon = gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kIconXpm));
  gtk_window_set_icon(GTK_WINDOW(mainWindow), icon);
  fixed = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(mainWindow), fixed);
  g_signal_connect(mainWindow, "destroy", G_CALLBACK(on_window_destroy), this);
  g_signal_connect(mainWindow, "delete_event", G_CALLBACK(on_window_delete), this);
  g_signal_connect(mainWindow, "key_press_event", G_CALLBACK(gtk_window_key_press_callback),
                   this);
}

void CInstallerDlg::destroyMainWindow() {
  if (mainWindow) gtk_widget_destroy(mainWindow);  // on_window_destroy clears it
}

void CInstallerDlg::setCurPage(WizardDialogPage* page) {
  if (curPage && mainWindow)
    for (GtkWidget* widget : curPage->getWidgets()) gtk_widget_hide(widget);
  curPage = page;
  if (!page) return;
  for (GtkWidget* widget : page->getWidgets()) gtk_widget_show(widget);
  page->onShow();
  focusOnArrival();
}

GtkWidget* CInstallerDlg::arrivalFocus() {
  if (curPage) {
    GtkWidget* own = curPage->focusWidget();
    if (own && gtk_widget_get_visible(own) && gtk_widget_is_sensitive(own)) return own;
  }
  for (GtkWidget* button : {buttonNext, buttonCancel})
    if (button && gtk_widget_get_visible(button) && gtk_widget_is_sensitive(button)) return button;
  return nullptr;
}

void CInstallerDlg::focusOnArrival() {
  if (!mainWindow) return;
  if (GtkWidget* focus = arrivalFocus()) gtk_widget_grab_focus(focus);
}

// Back where the user was before a box; a Cancel button that asked gives
// way to the page's own focus, so that Enter does not ask again.
void CInstallerDlg::restoreFocus(GtkWidget* before) {
  if (!mainWindow) return;
  if (before && before != buttonCancel && gtk_widget_get_visible(before) &&
      gtk_widget_is_sensitive(before) && gtk_widget_get_toplevel(before) == mainWindow)
    gtk_widget_grab_focus(before);
  else
    focusOnArrival();
}

GtkWidget* CInstallerDlg::focusedWidget() {
  return mainWindow ? gtk_window_get_focus(GTK_WINDOW(mainWindow)) : nullptr;
}

void CInstallerDlg::setFinishButtons() {
  gtk_widget_set_sensitive(buttonNext, TRUE);
  gtk_widget_set_sensitive(buttonCancel, FALSE);
  gtk_widget_hide(buttonPrev);
  gtk_widget_show(buttonNext);
  setLabel(buttonNext, "IDS_WIZARD_FINISH");
  gtk_widget_grab_default(buttonNext);
}

// With its access key; a screen reader says the word alone, not "Next >".
void CInstallerDlg::setLabel(GtkWidget* button, const char* key) {
  gtk_button_set_label(GTK_BUTTON(button), mnemonic_text(key).c_str());
  gtk_button_set_use_underline(GTK_BUTTON(button), TRUE);
  atk_object_set_name(gtk_widget_get_accessible(button),
                      undecorated(narrow_lib(LoadResString(key))).c_str());
}

// ---------------------------------------------------------------- pages

void CInstallerDlg::showWelcomePage() {
  if (!welcomePage)
    welcomePage = new MessagePage(fixed, backImage, session.welcomeText() + u"\n\n" + session.signatureText());
  if (silentMode) {
    gtk_widget_hide(buttonPrev);
    gtk_widget_hide(buttonNext);
  } else {
    gtk_widget_set_sensitive(buttonPrev, FALSE);
  }
  state = kStateWelcome;
  setCurPage(welcomePage);
}

void CInstallerDlg::showSelectPathPage() {
  state = kStateDirectory;
  if (!dirSelectPage) {
    dirSelectPage = new DirSelectPage(fixed, backImage);
    InstallationSession* owner = &session;
    dirSelectPage->setFreeSpaceProbe([owner](const std::u16string& typed, uint64_t& freeBytes) {
      return owner->freeSpaceFor(typed, freeBytes);
    });
  }
  dirSelectPage->setPath(session.targetDirectory());
  dirSelectPage->setInstalledNote(session.targetDirectory(), session.installedText());
  dirSelectPage->setNeededSpace(session.kitFilesBytes());
  gtk_widget_set_sensitive(buttonPrev, TRUE);
  gtk_widget_set_sensitive(buttonNext, TRUE);
  // Coming back from the error page: the buttons of a page before the run.
  gtk_widget_set_sensitive(buttonCancel, TRUE);
  setLabel(buttonNext, "IDS_WIZARD_NEXT");
  setCurPage(dirSelectPage);
}

void CInstallerDlg::showSuccessFinalPage() {
  state = kStateSuccess;
  std::u16string text = LoadResString("IDS_SUCCESS_FINISH") + u"\n\n" + session.successSummary(u"\n");
  // The page keeps saying what the warning box said.
  if (exitStatus == kExitLauncherNotUpdated) text += u"\n\n" + LoadResString("IDS_SUCCESS_LAUNCHERNOTE");
  if (!successPage) successPage = new SuccessFinalPage(fixed, backImage, text);
  successPage->setMessage(text);
  successPage->layoutCheckBox();
  setFinishButtons();
  setCurPage(successPage);
  // Nothing to open: no check box that promises it.
  if (session.descriptionDocumentPath().empty()) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(successPage->checkBox), FALSE);
    gtk_widget_hide(successPage->checkBox);
  }
}

void CInstallerDlg::showErrorFinalPage() {
  // Under the sentence, the file and the reason of the failed run; a
  // repair or removal says all of it in its own message.
  std::u16string text = LoadResString("IDS_ERROR_FINISH");
  const std::u16string detail = session.failureDetail();
  if (!detail.empty()) text += u"\n\n" + detail;
  if (job != Job::kInstall) text = session.lastOutcome().message.text;
  if (!errorPage) errorPage = new MessagePage(fixed, backImage, text);
  errorPage->setMessage(text);
  state = kStateError;
  setFinishButtons();
  // The run was rolled back and the kit is still open: Back lets the user
  // try another folder instead of starting the wizard again.
  if (!silentMode) {
    gtk_widget_show(buttonPrev);
    gtk_widget_set_sensitive(buttonPrev, TRUE);
  }
  setCurPage(errorPage);
}

void CInstallerDlg::showCancelFinalPage() {
  if (!cancelPage) cancelPage = new MessagePage(fixed, backImage, std::u16string());
  cancelPage->setMessage(LoadResString(job == Job::kInstall ? "IDS_CANCEL_FINISH" : "IDS_MAINT_CANCELLED"));
  state = kStateCancelled;
  setFinishButtons();
  setCurPage(cancelPage);
}
