// Repairing a template directory from its kit: every recorded entry that
// is missing or differs is installed again, as one transaction of the
// rollback journal (install/rollback.h). A file that differs is first kept
// beside its place under a visible name.
#ifndef OVN8_INSTALL_REPAIR_H_
#define OVN8_INSTALL_REPAIR_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "install/install_process_data.h"

struct RepairOutcome {
  // Entries installed again (paths relative to the directory).
  std::vector<std::u16string> restored;
  // Changed files kept aside: the entry's path and the name kept under.
  std::vector<std::pair<std::u16string, std::u16string>> keptAside;
  // Entries that cannot be repaired: a folder or link where the file was,
  // or an entry the kit does not hold.
  std::vector<std::u16string> notRepaired;
  std::u16string failedPath;
};

// Repairs `target` (ends with "/") from the opened `kit`, whose SHA-256 is
// `kitSha256` (empty when unknown). 0, or the error number: 2 no record,
// 13 a record that cannot be trusted or a kit other than the recorded one,
// 33 busy, 1223 when `shared` asked it to stop (rolled back), another
// after a failure that was rolled back. With `shared` it tells its
// progress there and ends with its result (install/maintenance_progress.h).
uint32_t repair_directory(const std::u16string& target, KitReader& kit, const std::string& kitSha256,
                          RepairOutcome& outcome, InstallProcessData* shared = nullptr);

#endif  // OVN8_INSTALL_REPAIR_H_
