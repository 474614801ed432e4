#include "install/maintenance_progress.h"

void MaintenanceProgress::watch(Rollback& rollback) {
  if (shared_ == nullptr) return;
  InstallProcessData* shared = shared_;
  rollback.setProgressHook([shared](uint32_t left, uint32_t total) { shared->reportRestoring(left, total); });
}

bool MaintenanceProgress::step(uint32_t index, uint32_t count, const std::u16string& key,
                               const std::u16string& path) {
  if (shared_ == nullptr) return true;
  shared_->waitWhilePaused();
  if (shared_->isCancelled()) return false;
  shared_->reportEntry(index, count, key, path, count == 0 ? 0 : int(uint64_t(index) * 100 / count));
  return true;
}

bool MaintenanceProgress::goOn() { return shared_ == nullptr || !shared_->isCancelled(); }

void MaintenanceProgress::end(uint32_t result, const std::u16string& failedPath) {
  if (shared_ == nullptr) return;
  if (result == ERROR_SUCCESS) shared_->setInstallState(0, std::u16string(), 100);
  if (!failedPath.empty()) shared_->reportFailedPath(failedPath);
  shared_->reportEnd(result);
}

uint32_t commit_maintenance(Rollback& rollback, MaintenanceProgress& progress) {
  uint32_t result = rollback.syncInstalled();
  // A stop asked for during the sync still finds nothing committed.
  if (result == ERROR_SUCCESS && !progress.goOn()) result = ERROR_CANCELLED;
  if (result == ERROR_SUCCESS) result = rollback.stop();
  return result;
}
