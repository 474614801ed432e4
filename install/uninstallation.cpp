#include "install/uninstallation.h"

#include <algorithm>
#include <set>

#include "config/launcher_record.h"
#include "install/directory_check.h"
#include "install/installation_record.h"
#include "install/maintenance_progress.h"
#include "platform/path.h"
#include "platform/run_log.h"

namespace {

size_t depth_of(const std::u16string& key) { return size_t(std::count(key.begin(), key.end(), u'/')); }

// Whether nothing but `going` (keys) would be left in the folder `key`.
bool empties(const std::u16string& target, const std::u16string& key,
             const std::set<std::u16string>& going) {
  std::vector<DirectoryEntry> listing;
  if (FileSystem::ListDirectory(target + key, listing) != ERROR_SUCCESS) return false;
  for (const DirectoryEntry& entry : listing) {
    if (entry.name == u"." || entry.name == u"..") continue;
    if (going.count(key + u"/" + entry.name) == 0) return false;
  }
  return true;
}

// The folders that hold removed files and are then empty, deepest first.
std::vector<std::u16string> emptied_folders(const std::u16string& target,
                                            std::set<std::u16string>& going) {
  std::set<std::u16string> candidates;
  for (const std::u16string& key : going)
    for (size_t slash = key.find(u'/'); slash != std::u16string::npos; slash = key.find(u'/', slash + 1))
      candidates.insert(key.substr(0, slash));
  std::vector<std::u16string> ordered(candidates.begin(), candidates.end());
  std::stable_sort(ordered.begin(), ordered.end(), [](const std::u16string& a, const std::u16string& b) {
    return depth_of(a) > depth_of(b);
  });
  std::vector<std::u16string> folders;
  for (const std::u16string& key : ordered) {
    if (!empties(target, key, going)) continue;
    folders.push_back(key);
    going.insert(key);
  }
  return folders;
}

bool directory_is_empty(const std::u16string& target) {
  std::vector<DirectoryEntry> listing;
  return FileSystem::ListDirectory(target, listing) == ERROR_SUCCESS && listing.size() <= 2;
}

// Sorts the record's entries: unchanged files the installation put there
// go; changed ones are named and stay; all others stay.
void sort_entries(const std::u16string& target, const InstallationRecord& record,
                  std::vector<std::u16string>& removed, UninstallOutcome& outcome) {
  for (const RecordEntry& entry : record.entries) {
    if (!is_put_by_installation(entry.action)) {
      ++outcome.keptOther;
      continue;
    }
    const EntryState state = check_entry(target, entry);
    if (state == EntryState::kOk) removed.push_back(entry.path);
    if (state == EntryState::kChanged || state == EntryState::kOtherKind)
      outcome.keptChanged.push_back(entry.path);
  }
}

uint32_t plan_removals(Rollback& rollback, const std::u16string& target,
                       const std::vector<std::u16string>& files,
                       const std::vector<std::u16string>& folders, std::u16string& failed) {
  for (const std::u16string& key : files) {
    FileStatus seen;
    failed = target + key;
    uint32_t result = link_status(failed, seen);
    if (result == ERROR_SUCCESS) result = rollback.planRemoval(failed, seen);
    if (result != ERROR_SUCCESS) return result;
  }
  for (const std::u16string& key : folders) {
    FileStatus seen;
    failed = target + key;
    const uint32_t result = link_status(failed, seen);
    if (result != ERROR_SUCCESS) return result;
    rollback.planRemovedDirectory(failed, seen);
  }
  return rollback.flushJournal();
}

uint32_t remove_all(Rollback& rollback, const std::u16string& target,
                    const std::vector<std::u16string>& files,
                    const std::vector<std::u16string>& folders, MaintenanceProgress& progress,
                    std::u16string& failed) {
  for (size_t i = 0; i < files.size(); ++i) {
    const std::u16string& key = files[i];
    failed = target + key;
    if (!progress.step(uint32_t(i), uint32_t(files.size()), key, failed)) return ERROR_CANCELLED;
    const uint32_t result = rollback.removeKeptFile(failed);
    if (result != ERROR_SUCCESS) return result;
    if (run_log().isOpen()) log_event("uninstall: removed " + narrow_lib(failed));
  }
  for (const std::u16string& key : folders) {
    failed = target + key;
    const uint32_t result = FileSystem::RemoveEmptyDirectory(failed);
    if (result != ERROR_SUCCESS) return result;
  }
  failed = target;
  return commit_maintenance(rollback, progress);
}

uint32_t uninstall_run(const std::u16string& target, UninstallOutcome& outcome, MaintenanceProgress& progress) {
  Rollback rollback;
  progress.watch(rollback);
  uint32_t result = rollback.start(target);
  if (result != ERROR_SUCCESS) return result;
  InstallationRecord record;
  result = read_installation_record(target, record);
  if (result != ERROR_SUCCESS) {
    rollback.rollback(result);
    return result;
  }
  std::vector<std::u16string> files;
  sort_entries(target, record, files, outcome);
  // The record goes with the last of its files; the control folder when empty.
  std::u16string recordKey;
  relative_path_key(record_path(target).substr(target.size()), recordKey);
  files.push_back(recordKey);
  std::set<std::u16string> going(files.begin(), files.end());
  const std::vector<std::u16string> folders = emptied_folders(target, going);
  result = plan_removals(rollback, target, files, folders, outcome.failedPath);
  if (result == ERROR_SUCCESS) result = remove_all(rollback, target, files, folders, progress, outcome.failedPath);
  if (result != ERROR_SUCCESS) {
    log_event(error_event("uninstall: error " + narrow_lib(outcome.failedPath), result) + "; rolling back");
    rollback.rollback(result);
    return result;
  }
  outcome.failedPath.clear();
  outcome.removedFiles = uint32_t(files.size() - 1);
  outcome.removedFolders = uint32_t(folders.size());
  outcome.emptied = directory_is_empty(target);
  if (outcome.emptied) unrecord_template_directory(target);
  log_event("uninstall " + narrow_lib(target) + ": " + std::to_string(outcome.removedFiles) +
            " files removed, " + std::to_string(outcome.keptChanged.size()) + " changed files kept");
  return ERROR_SUCCESS;
}

}  // namespace

uint32_t uninstall_directory(const std::u16string& target, UninstallOutcome& outcome,
                             InstallProcessData* shared) {
  MaintenanceProgress progress(shared);
  const uint32_t result = uninstall_run(target, outcome, progress);
  progress.end(result, outcome.failedPath);
  return result;
}
