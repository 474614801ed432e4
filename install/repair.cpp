#include "install/repair.h"

#include <time.h>

#include <unordered_map>

#include "install/directory_check.h"
#include "install/installation_record.h"
#include "install/maintenance_progress.h"
#include "install/rollback.h"
#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/text.h"

namespace {

// One entry to install again.
struct Mend {
  std::u16string key;
  uint32_t index = 0;
  std::u16string path;
  std::u16string temporary;
  std::u16string keptAs;  // empty unless a changed file stands there
  Rollback::Plan plan = Rollback::Plan::kAdd;
};

// "x.dot" -> "x.dot.changed-20261208-130501", numbered when that is taken.
std::u16string visible_name(const std::u16string& path) {
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::u16string base = path + u".changed-" + widen_lib(stamp);
  std::u16string name = base;
  FileStatus status;
  for (unsigned n = 1; link_status(name, status) == ERROR_SUCCESS && status.exists(); ++n)
    name = base + u"-" + string_uito(n, 10);
  return name;
}

std::unordered_map<std::u16string, uint32_t> kit_index(KitReader& kit) {
  std::unordered_map<std::u16string, uint32_t> byKey;
  for (uint32_t i = 0; i < kit.entries.size(); ++i) {
    std::u16string key;
    if (relative_path_key(config::entryNameInDirectory(kit.entries[i].name), key)) byKey[key] = i;
  }
  return byKey;
}

ExpectedFile expected_of(const FileStatus& status) {
  return ExpectedFile{status.size, status.times.writeSeconds, status.times.writeNanoseconds};
}

// Records every step of one entry's repair before any is taken.
uint32_t plan_mend(Rollback& rollback, KitReader& kit, Mend& mend) {
  FileStatus seen;
  uint32_t result = link_status(mend.path, seen);
  if (result == ERROR_SUCCESS) result = rollback.planDirectoryTree(parent_directory(mend.path));
  if (result == ERROR_SUCCESS) result = rollback.planFile(mend.path, seen, mend.plan);
  if (result != ERROR_SUCCESS) return result;
  if (mend.plan == Rollback::Plan::kAdd) rollback.addRBFile(mend.path);
  if (seen.exists()) {
    mend.keptAs = visible_name(mend.path);
    rollback.addRBFile(mend.keptAs);
    rollback.planExpected(mend.keptAs, expected_of(seen));
  }
  const config::KitEntry& entry = kit.entries[mend.index];
  rollback.planExpected(mend.path, ExpectedFile{entry.size, FileTimeToEpoch(entry.lastWriteTime), 0});
  mend.temporary = rollback.planTemporary(mend.path, mend.index);
  return ERROR_SUCCESS;
}

// The changed file keeps its bytes under the visible name (a second name
// of the kept original), then the entry replaces it in one rename.
uint32_t apply_mend(Rollback& rollback, KitReader& kit, const Mend& mend) {
  bool linked = false;
  uint32_t result = ERROR_SUCCESS;
  if (mend.plan == Rollback::Plan::kKeep) {
    result = rollback.keepOriginal(mend.path, &linked);
    if (result == ERROR_SUCCESS) result = rollback.syncKeptOriginals();
    if (result == ERROR_SUCCESS)
      result = FileSystem::CreateHardLink(rollback.backupDirectory() + mend.key, mend.keptAs);
  }
  if (result == ERROR_SUCCESS) result = rollback.createPlannedTree(parent_directory(mend.path));
  if (result == ERROR_SUCCESS) result = kit.copyToNewFile(mend.index, mend.temporary);
  if (result != ERROR_SUCCESS) return result;
  result = FileSystem::MoveFileEx(mend.temporary, mend.path, linked ? uint32_t(MOVEFILE_REPLACE_EXISTING) : 0u);
  if (result == ERROR_SUCCESS) rollback.temporaryPlaced();
  return result;
}

// The entries that are not as recorded and that the kit can put back.
std::vector<Mend> find_mends(const std::u16string& target, KitReader& kit,
                             const InstallationRecord& record, RepairOutcome& outcome) {
  const std::unordered_map<std::u16string, uint32_t> byKey = kit_index(kit);
  std::vector<Mend> mends;
  for (const RecordEntry& entry : record.entries) {
    const EntryState state = check_entry(target, entry);
    if (state == EntryState::kOk) continue;
    const auto found = byKey.find(entry.path);
    if (state == EntryState::kOtherKind || found == byKey.end()) {
      outcome.notRepaired.push_back(entry.path);
      continue;
    }
    Mend mend;
    mend.key = entry.path;
    mend.index = found->second;
    mend.path = target + entry.path;
    mends.push_back(mend);
  }
  return mends;
}

uint32_t mend_all(Rollback& rollback, KitReader& kit, std::vector<Mend>& mends,
                  MaintenanceProgress& progress, std::u16string& failed) {
  for (Mend& mend : mends) {
    failed = mend.path;
    const uint32_t result = plan_mend(rollback, kit, mend);
    if (result != ERROR_SUCCESS) return result;
  }
  uint32_t result = rollback.flushJournal();
  for (size_t i = 0; result == ERROR_SUCCESS && i < mends.size(); ++i) {
    failed = mends[i].path;
    if (!progress.step(uint32_t(i), uint32_t(mends.size()), mends[i].key, mends[i].path))
      return ERROR_CANCELLED;
    result = apply_mend(rollback, kit, mends[i]);
    if (result == ERROR_SUCCESS && run_log().isOpen())
      log_event("repair: installed again " + narrow_lib(mends[i].path));
  }
  if (result != ERROR_SUCCESS) return result;
  failed = rollback.privateFolder();
  return commit_maintenance(rollback, progress);
}

uint32_t repair_run(const std::u16string& target, KitReader& kit, const std::string& kitSha256,
                    RepairOutcome& outcome, MaintenanceProgress& progress) {
  Rollback rollback;
  progress.watch(rollback);
  uint32_t result = rollback.start(target);
  if (result != ERROR_SUCCESS) return result;
  InstallationRecord record;
  result = read_installation_record(target, record);
  // Another kit would put other files in: that is an installation.
  if (result == ERROR_SUCCESS && !record.kit.sha256.empty() && !kitSha256.empty() &&
      record.kit.sha256 != kitSha256)
    result = ERROR_INVALID_DATA;
  std::vector<Mend> mends;
  if (result == ERROR_SUCCESS) mends = find_mends(target, kit, record, outcome);
  if (result == ERROR_SUCCESS) result = mend_all(rollback, kit, mends, progress, outcome.failedPath);
  if (result != ERROR_SUCCESS) {
    log_event(error_event("repair: error " + narrow_lib(outcome.failedPath), result) + "; rolling back");
    rollback.rollback(result);
    return result;
  }
  outcome.failedPath.clear();
  for (const Mend& mend : mends) {
    outcome.restored.push_back(mend.key);
    if (!mend.keptAs.empty()) outcome.keptAside.push_back({mend.key, mend.keptAs.substr(target.size())});
  }
  log_event("repair " + narrow_lib(target) + ": " + std::to_string(mends.size()) + " entries installed again");
  return ERROR_SUCCESS;
}

}  // namespace

uint32_t repair_directory(const std::u16string& target, KitReader& kit, const std::string& kitSha256,
                          RepairOutcome& outcome, InstallProcessData* shared) {
  MaintenanceProgress progress(shared);
  const uint32_t result = repair_run(target, kit, kitSha256, outcome, progress);
  // A streamed kit is read again from its start by the next run.
  kit.endStream();
  progress.end(result, outcome.failedPath);
  return result;
}
