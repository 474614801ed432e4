// What a repair or an uninstallation tells the interface while it runs:
// the step it is at, how far it is, the rollback counting down, and
// whether the user asked it to stop. Without the shared state (the
// command line) it tells nobody and is never stopped.
#ifndef OVN8_INSTALL_MAINTENANCE_PROGRESS_H_
#define OVN8_INSTALL_MAINTENANCE_PROGRESS_H_

#include <cstdint>
#include <string>

#include "install/install_process_data.h"
#include "install/rollback.h"

class MaintenanceProgress {
 public:
  explicit MaintenanceProgress(InstallProcessData* shared) : shared_(shared) {}

  // The rollback's steps are told as they are undone.
  void watch(Rollback& rollback);
  // Before step `index` of `count` on `path` (`key` in the directory):
  // waits while the run is paused; false when a stop was asked for, so
  // that the run rolls back before anything is committed.
  bool step(uint32_t index, uint32_t count, const std::u16string& key, const std::u16string& path);
  // Just before the commit: false when a stop was asked for.
  bool goOn();
  // The run is over with `result`; a failure names `failedPath`.
  void end(uint32_t result, const std::u16string& failedPath);

 private:
  InstallProcessData* shared_;
};

// Makes a repair's or an uninstallation's changes durable and commits
// them, unless a stop was asked for meanwhile (then 1223, nothing
// committed: the caller rolls back).
uint32_t commit_maintenance(Rollback& rollback, MaintenanceProgress& progress);

#endif  // OVN8_INSTALL_MAINTENANCE_PROGRESS_H_
