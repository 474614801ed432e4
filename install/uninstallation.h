// Taking an installation out of its template directory, as one transaction
// of the rollback journal (install/rollback.h).
#ifndef OVN8_INSTALL_UNINSTALLATION_H_
#define OVN8_INSTALL_UNINSTALLATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "install/install_process_data.h"
#include "install/rollback.h"

struct UninstallOutcome {
  uint32_t removedFiles = 0;
  uint32_t removedFolders = 0;
  // Files the installation wrote that were changed since: kept (paths
  // relative to the directory).
  std::vector<std::u16string> keptChanged;
  // Files it had left as newer, or found already in place: kept.
  uint32_t keptOther = 0;
  // Nothing is left in the directory; the launcher's list lost it.
  bool emptied = false;
  // The file or folder a failure concerns.
  std::u16string failedPath;
};

// Uninstalls the installation recorded in `target` (ends with "/"). 0, or
// the error number: 2 when there is no record, 13 when it cannot be
// trusted, 33 when another run holds the directory, another after a
// failure that was rolled back; 1223 when `shared` asked it to stop (rolled
// back). With `shared` it tells its progress there and ends with its
// result (install/maintenance_progress.h).
uint32_t uninstall_directory(const std::u16string& target, UninstallOutcome& outcome,
                             InstallProcessData* shared = nullptr);

#endif  // OVN8_INSTALL_UNINSTALLATION_H_
