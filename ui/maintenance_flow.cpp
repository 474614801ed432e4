// The window's way through an installation of this kit found in the
// chosen directory: the choice between Repair, Remove and Install again,
// the confirmation of a removal, and the page that tells how it ended.
#include "platform/message_box.h"
#include "resources/lang.h"
#include "ui/installer_dlg.h"

void CInstallerDlg::showMaintenancePage() {
  if (!maintenancePage) maintenancePage = new MaintenancePage(fixed, backImage);
  maintenancePage->setInstalledText(session.installedText());
  state = kStateMaintenance;
  gtk_widget_set_sensitive(buttonPrev, TRUE);
  gtk_widget_set_sensitive(buttonNext, TRUE);
  gtk_widget_set_sensitive(buttonCancel, TRUE);
  setLabel(buttonNext, "IDS_WIZARD_NEXT");
  setCurPage(maintenancePage);
}

// A removal takes files away: it is asked for once more. No leaves the
// choice open.
void CInstallerDlg::acceptMaintenanceChoice() {
  switch (maintenancePage->choice()) {
    case MaintenancePage::Choice::kInstall:
      runJob(Job::kInstall);
      return;
    case MaintenancePage::Choice::kRepair:
      runJob(Job::kRepair);
      return;
    case MaintenancePage::Choice::kRemove:
      break;
  }
  GtkWidget* before = focusedWidget();
  if (messageBox(this, LoadResString("IDS_MAINT_REMOVE_CONFIRM"), kMessageBoxQuestion | kMessageBoxYesNo) !=
      kMessageBoxResultYes) {
    restoreFocus(before);
    return;
  }
  runJob(Job::kRemove);
}

void CInstallerDlg::showMaintainedFinalPage() {
  const std::u16string text = session.maintenanceSummary();
  if (!maintainedPage) maintainedPage = new MessagePage(fixed, backImage, text);
  maintainedPage->setMessage(text);
  state = kStateMaintained;
  setFinishButtons();
  setCurPage(maintainedPage);
}
