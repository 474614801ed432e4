#include "install/installer.h"

#include <time.h>

#include <algorithm>

#include "install/file_lanes.h"
#include "install/same_content.h"

#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/reasons.h"

namespace {

// Entries are planned, recorded and synced in the journal a batch at a
// time: one sync of the journal serves the whole batch. A batch ends at
// kMaxBatchEntries entries, or once the files it writes come to
// kBatchBytes, so that the sync's cost is spread over about as much work
// whether the files are small or large.
const size_t kMaxBatchEntries = 4096;
const uint64_t kBatchBytes = 64u << 20;
// Streamed entries up to this size are read into memory and written by the
// lanes; larger ones are written from the stream here, as they come.
const uint32_t kLaneEntryBytes = 1u << 20;
// Names tried for an entry's temporary file when its planned name is taken.
const int kTemporaryNameTries = 4;

}  // namespace


Installer::Installer() : data_(nullptr) { rollback_.stageNewFolders(); }

void Installer::report(const std::u16string& message, uint32_t percent) {
  reportedPercent_ = percent;
  data_->setInstallState(0, message, int(percent));
}

// Entries are planned in batches: what each one does is recorded in the
// journal, the journal is put on disk once, and only then are the entries
// written, each under a temporary name that is renamed over its place once
// it is whole. One sync of the journal serves a whole batch.
uint32_t Installer::run(InstallProcessData* data) {
  const uint32_t result = runEntries(data);
  KitReader* kit = nullptr;
  std::u16string directory;
  if (data_ != nullptr) data_->get(kit, directory);
  if (kit != nullptr) kit->endStream();
  if (data_ != nullptr) {
    if (result == ERROR_SUCCESS) data_->reportCounts(added_ + replaced_, replaced_, kept_, retimed_, recordBuilder_.places());
    data_->reportEnd(result);
  }
  return result;
}

uint32_t Installer::runEntries(InstallProcessData* data) {
  data_ = data;
  added_ = replaced_ = kept_ = retimed_ = 0;
  staged_.clear();
  recordBuilder_.start(kitIdentity_);
  // Without the shared state there is no kit, no directory and no one to
  // tell: nothing is touched.
  if (data_ == nullptr) return ERROR_INVALID_PARAMETER;
  rollback_.setProgressHook(
      [this](uint32_t left, uint32_t total) { data_->reportRestoring(left, total); });
  KitReader* kit = nullptr;
  std::u16string directory;
  data_->get(kit, directory);
  directory_ = directory;
  placeLookup_.setFolder(directory);
  uint32_t result = rollback_.start(directory);
  if (result != ERROR_SUCCESS) {
    log_event(error_event("error " + narrow_lib(directory) + ": the journal cannot be started", result));
    return stopOnError(result, 0);
  }
  // Without a kit or a directory there is nothing to install into.
  if (kit == nullptr || directory.empty()) return stopOnError(ERROR_INVALID_PARAMETER, 0);

  // Every destination must be a path the system can use before anything
  // is replaced; a name that only fails deep inside the tree would leave
  // the run half done.
  result = checkDestinationLengths(*kit, directory);
  if (result != ERROR_SUCCESS) return stopOnError(result, 0);

  presentRecord_.read(directory_);
  const size_t count = kit->entries.size();
  recordBuilder_.reserve(count);
  plannedTimes_.reserve(count);
  log_event("install " + std::to_string(count) + " entries into " + narrow_lib(directory));
  for (size_t first = 0; first < count; first += batch_.size()) {
    planBatch(*kit, directory, first, std::min(count, first + kMaxBatchEntries));
    result = rollback_.flushJournal();
    if (result != ERROR_SUCCESS) return stopOnError(result, reportedPercent_);
    result = keepOriginals();
    if (result != ERROR_SUCCESS) return stopOnError(result, reportedPercent_);
    for (size_t i = 0; i < batch_.size(); ++i) {
      // While the user is asked whether to cancel, nothing more is done.
      data_->waitWhilePaused();
      // Asked before every entry, also one that is then skipped: a confirmed
      // cancel must never end as a success.
      if (data_->isCancelled()) return cancel();
      const PlannedEntry& planned = batch_[i];
      reportedPercent_ = planned.percent;
      data_->reportEntry(planned.index, uint32_t(count), std::u16string_view(planned.path).substr(directory.size()),
                         planned.path, int(planned.percent));
      if (failure_ != ERROR_SUCCESS && i + 1 == batch_.size())
        return failEntry(planned.path, failure_, planned.percent);
      if (planned.retime) {
        result = retimeEntry(*kit, planned);
        if (result != ERROR_SUCCESS) return failEntry(planned.path, result, planned.percent);
        ++retimed_;
        continue;
      }
      if (!planned.write) continue;
      result = writeEntry(*kit, planned);
      if (result != ERROR_SUCCESS) return failEntry(planned.path, result, planned.percent);
      // A lane's failure ends the run as soon as it is seen.
      if (lanes_ != nullptr && lanes_->failed()) {
        result = settleWrites();
        if (result != ERROR_SUCCESS) return result;
      }
    }
  }
  if (data_->isCancelled()) return cancel();
  // The record is written once every entry is in place and the kit's
  // stream has passed its checks.
  result = placeStaged(*kit);
  if (result != ERROR_SUCCESS) return result;
  result = writeRecord();
  if (result != ERROR_SUCCESS) return failEntry(record_path(directory), result, reportedPercent_);
  result = rollback_.syncInstalled();
  if (result != ERROR_SUCCESS) return failEntry(directory, result, reportedPercent_);
  // A stop asked for during the sync still finds nothing committed.
  if (data_->isCancelled()) return cancel();

  result = rollback_.stop();
  if (result != ERROR_SUCCESS) return failEntry(directory, result, reportedPercent_);
  const uint32_t left = added_ + replaced_ + kept_;
  log_event("counts: " + std::to_string(added_) + " installed, " + std::to_string(replaced_) +
            " replaced, " + std::to_string(kept_) + " kept newer, " +
            std::to_string(retimed_) + " time updated, " +
            std::to_string(count > left + retimed_ ? count - left - retimed_ : 0) + " up to date, in " +
            narrow_lib(directory));
  report(LoadResString("IDS_INSTALL_FINISH"), 100);
  return ERROR_SUCCESS;
}

uint32_t Installer::cancel() {
  waitForLanes();
  log_event("cancelled by the user; rolling back");
  rollback_.rollback(ERROR_CANCELLED);
  if (rollback_.lastUndo().complete) return ERROR_CANCELLED;
  // Not as before: the user must learn what is left, as after a failure.
  data_->setInstallState(ERROR_CANTWRITE,
                         withRollbackOutcome(LoadResString("IDS_INSTALL_ERROR")),
                         int(reportedPercent_));
  return ERROR_CANTWRITE;
}

std::u16string Installer::withRollbackOutcome(const std::u16string& message) const {
  const UndoOutcome& outcome = rollback_.lastUndo();
  if (outcome.complete) return message;
  std::u16string text = message + u"\n" + LoadResString("IDS_ROLLBACK_INCOMPLETE") + u" " +
                        printable(outcome.keptIn);
  for (const std::u16string& path : outcome.notRestored) text += u"\n" + printable(path);
  return text;
}

uint32_t Installer::keepOriginals() {
  bool kept = false;
  for (PlannedEntry& planned : batch_) {
    if (!planned.write || planned.plan != Rollback::Plan::kKeep) continue;
    const uint32_t result = rollback_.keepOriginal(planned.path, &planned.linked);
    if (result != ERROR_SUCCESS) return result;
    kept = true;
  }
  return kept ? rollback_.syncKeptOriginals() : uint32_t(ERROR_SUCCESS);
}

// The longest destination, the directory followed by a name, narrowed.
uint32_t Installer::checkDestinationLengths(const KitReader& kit, const std::u16string& directory) {
  const size_t directoryBytes = config::narrowedLength(directory.data(), directory.size());
  for (const config::KitEntry& entry : kit.entries) {
    if (directoryBytes + config::narrowedLength(entry.name.data(), entry.name.size()) >
        config::kMaxPathBytes)
      return ERROR_FILENAME_EXCED_RANGE;
  }
  return ERROR_SUCCESS;
}

void Installer::planBatch(KitReader& kit, const std::u16string& directory, size_t first,
                          size_t end) {
  batch_.clear();
  failure_ = ERROR_SUCCESS;
  const size_t count = kit.entries.size();
  uint64_t bytes = 0;
  bool changes = false;
  lookAheadAt(kit, directory, first, end);
  for (size_t i = first; i < end && bytes < kBatchBytes; ++i) {
    PlannedEntry planned;
    planned.index = uint32_t(i);
    planned.percent = uint32_t(uint64_t(i) * 100 / count);
    failure_ = planEntry(kit, directory, planned);
    const bool write = planned.write;
    changes = changes || write || planned.retime;
    batch_.push_back(std::move(planned));
    if (failure_ != ERROR_SUCCESS) break;
    if (write) bytes += kit.entries[i].size;
  }
  placeLookup_.stopLookingAhead();
  // The folders looked from are never kept over a change the run makes;
  // a batch that changes nothing leaves them to the next one.
  if (changes || failure_ != ERROR_SUCCESS) placeLookup_.forget();
}

// Where files stand already (a directory that holds an installation), the
// places of the batch are looked at from both ends at once, on two cores.
void Installer::lookAheadAt(const KitReader& kit, const std::u16string& directory, size_t first, size_t end) {
  batchFirst_ = first;
  if (!presentRecord_.found()) return;
  std::vector<std::u16string> places(end - first);
  std::u16string key;
  for (size_t i = first; i < end; ++i)
    if (config::safeEntryPlace(kit.entries[i].name, key)) places[i - first] = directory + key;
  placeLookup_.lookAheadAt(std::move(places));
}

// Decides whether the entry is written and records, before anything
// changes, every step that writing it takes.
uint32_t Installer::planEntry(KitReader& kit, const std::u16string& directory,
                              PlannedEntry& planned) {
  const config::KitEntry& entry = kit.entries[planned.index];
  // The reader refuses such names when it opens a kit; a reader filled
  // another way must not write outside the directory either.
  std::u16string key;
  if (!config::safeEntryPlace(entry.name, key) || rollback_.isOwnName(key)) {
    planned.path = directory + config::entryNameInDirectory(entry.name);  // the failure names it
    return ERROR_INVALID_NAME;
  }
  planned.path = directory + key;
  FileStatus seen;
  auto earlier = plannedTimes_.find(key);
  if (earlier != plannedTimes_.end()) {
    // Written before in this run (perhaps not yet): the file will have that
    // entry's time.
    seen.kind = FileKind::kRegular;
    seen.times.writeSeconds = earlier->second;
    // The file will be that entry's, as its record says.
    if (timeIsUpToDate(seen, entry.lastWriteTime)) return ERROR_SUCCESS;
  } else if (rollback_.isPlannedDirectory(planned.path)) {
    // An earlier entry makes a folder in this file's place.
    return ERROR_DIRECTORY;
  } else if (rollback_.plansDirectories() && rollback_.isPlannedDirectory(parent_directory(planned.path))) {
    // A folder this run makes holds only what the run writes: nothing
    // stands here yet. Should something appear meanwhile, the final rename,
    // which never replaces, fails instead of overwriting it.
  } else {
    const EntryPlace found = lookAtEntryPlace(planned.path, entry.lastWriteTime, &placeLookup_, planned.index - batchFirst_);
    if (!found.write) {
      if (run_log().isOpen())
        log_event((found.existingNewer ? "kept " : "skipped ") + narrow_lib(planned.path) +
                  (found.existingNewer ? ": newer than the kit's entry" : ": up to date"));
      if (found.existingNewer) ++kept_;
      recordBuilder_.noteInPlace(std::move(key), found.existingNewer ? RecordAction::kKeptNewer : RecordAction::kUpToDate,
                                 found.judged);
      return ERROR_SUCCESS;
    }
    if (found.lookError != ERROR_SUCCESS) return found.lookError;
    seen = found.seen;
    if (holds_entry_content(kit, planned.index, planned.path, seen))
      return planRetime(kit, key, seen, planned);
  }
  uint32_t result = rollback_.planDirectoryTree(parent_directory(planned.path));
  if (result != ERROR_SUCCESS) return result;
  // A file made readable for everyone stays so when the kit replaces it.
  if (seen.kind == FileKind::kRegular && seen.mode != 0) planned.replacedMode = seen.mode & 0777;
  // The entry's place is the directory followed by its key.
  result = rollback_.planFile(planned.path, key, seen, planned.plan);
  if (result != ERROR_SUCCESS) return result;
  if (planned.plan == Rollback::Plan::kAdd) rollback_.addRBFile(planned.path, key);
  ExpectedFile expected;
  expected.size = entry.size;
  expected.writeSeconds = FileTimeToEpoch(entry.lastWriteTime);
  rollback_.planExpectedAt(key, expected);
  planWritingPlace(key, planned);
  planned.write = true;
  plannedTimes_[key] = FileTimeToEpoch(entry.lastWriteTime);
  if (planned.plan == Rollback::Plan::kAgain) return recordBuilder_.noteWrittenAgain(kit, planned.index, key);
  return recordBuilder_.note(kit, planned.index, key,
                             planned.plan == Rollback::Plan::kAdd ? RecordAction::kInstalled
                                                                  : RecordAction::kReplaced);
}

void Installer::planWritingPlace(const std::u16string& key, PlannedEntry& planned) {
  planned.staged = rollback_.plansDirectories() && rollback_.isStaged(planned.path);
  if (!planned.direct()) planned.temporary = rollback_.planTemporaryAt(key, planned.index);
}

// Asked once the entry's folder is made: a staging folder whose first name
// was taken has another by then.
std::u16string Installer::writingPlace(const PlannedEntry& planned) const {
  if (!planned.staged) return planned.temporary;
  std::u16string place;
  rollback_.stagedPlaceOf(planned.direct() ? planned.path : planned.temporary, place);
  return place;
}

std::u16string Installer::placeOf(const PlannedEntry& planned) const {
  std::u16string place;
  return planned.staged && rollback_.stagedPlaceOf(planned.path, place) ? place : planned.path;
}

// Rewriting a file with the bytes it holds would only give every backup
// and sync tool a changed file: the file stays (same inode) and takes the
// entry's time, which a rollback puts back.
uint32_t Installer::planRetime(KitReader& kit, const std::u16string& key, const FileStatus& seen,
                               PlannedEntry& planned) {
  ExpectedFile expected;
  expected.size = seen.size;
  expected.writeSeconds = FileTimeToEpoch(kit.entries[planned.index].lastWriteTime);
  const uint32_t result = rollback_.planTimeUpdate(planned.path, seen, expected);
  if (result != ERROR_SUCCESS) return result;
  planned.retime = true;
  plannedTimes_[key] = expected.writeSeconds;
  return recordBuilder_.note(kit, planned.index, key, RecordAction::kTimeUpdated);
}

uint32_t Installer::retimeEntry(KitReader& kit, const PlannedEntry& planned) {
  FileTimes times;
  times.accessSeconds = times.writeSeconds = FileTimeToEpoch(kit.entries[planned.index].lastWriteTime);
  const uint32_t result = FileSystem::SetPathTimes(planned.path, times);
  if (result == ERROR_SUCCESS && run_log().isOpen())
    log_event("time updated " + narrow_lib(planned.path) + ": its content is the kit's already");
  return result;
}

// A kit without entries installs nothing and leaves no record.
uint32_t Installer::writeRecord() {
  KitReader* kit = nullptr;
  std::u16string directory;
  data_->get(kit, directory);
  if (kit->entries.empty()) return ERROR_SUCCESS;
  InstallationRecord present, record;
  const bool havePresent = presentRecord_.take(present);
  if (kitDigest_) recordBuilder_.setKitSha256(kitDigest_());
  if (!recordBuilder_.finish(directory_, havePresent ? &present : nullptr, int64_t(time(nullptr)), record))
    return ERROR_SUCCESS;
  return rollback_.placeControlFile(record_path(directory_), encode_record(record));
}

// The entry is written whole under its temporary name with its time, the
// original (if any) moves into the backup folder, and the new file takes
// its place in one rename: the visible file is the whole old or the whole
// new one.
uint32_t Installer::writeEntry(KitReader& kit, const PlannedEntry& planned) {
  if (kit.streamed() && kit.entries[planned.index].size <= kLaneEntryBytes) return stageEntry(kit, planned);
  std::u16string temporary;
  const uint32_t result = writeTemporary(kit, planned, temporary);
  if (result != ERROR_SUCCESS) return result;
  if (!kit.streamed() && !planned.direct()) {
    const uint32_t placed = placeTemporary(planned, temporary);
    if (placed == ERROR_SUCCESS) recordPlaced(planned);
    return placed;
  }
  staged_.push_back(planned);
  staged_.back().temporary = temporary;
  return ERROR_SUCCESS;
}

// The entry's bytes are read and checked here, in the kit's order; a lane
// writes them under the temporary name while the next entries are read.
uint32_t Installer::stageEntry(KitReader& kit, const PlannedEntry& planned) {
  const std::u16string folder = parent_directory(planned.path);
  uint32_t result = rollback_.createPlannedTree(folder);
  if (result != ERROR_SUCCESS) return result;
  FileJob job;
  result = kit.readStreamedEntry(planned.index, job.bytes);
  if (result != ERROR_SUCCESS) return result;
  job.tag = staged_.size();
  job.path = writingPlace(planned);
  job.time = kit.entries[planned.index].lastWriteTime;
  job.mode = planned.replacedMode;
  staged_.push_back(planned);
  staged_.back().temporary = job.path;
  lanes().submit(folder, std::move(job));
  return ERROR_SUCCESS;
}

FileLanes& Installer::lanes() {
  if (lanes_ == nullptr) lanes_.reset(new FileLanes(laneCount_));
  return *lanes_;
}

void Installer::waitForLanes() {
  if (lanes_ != nullptr) lanes_->settle();
}

// Waits for the lanes' writes. A temporary name found taken is freed and
// written again here, as writeTemporary does; any other failure ends the
// run, reported at its entry.
uint32_t Installer::settleWrites() {
  if (lanes_ == nullptr) return ERROR_SUCCESS;
  for (FileJobFailure& failure : lanes_->settle()) {
    PlannedEntry& planned = staged_[failure.tag];
    uint32_t result = failure.code;
    for (int attempt = 0; result == ERROR_ALREADY_EXISTS && attempt < kTemporaryNameTries; ++attempt) {
      result = rollback_.freeTemporaryName(planned.temporary);
      if (result != ERROR_SUCCESS) break;
      failure.job.path = planned.temporary;
      result = run_file_job(failure.job);
    }
    // Reported where the progress stands: the run may be entries further.
    if (result != ERROR_SUCCESS) return failEntry(planned.path, result, reportedPercent_);
  }
  return ERROR_SUCCESS;
}

uint32_t Installer::writeTemporary(KitReader& kit, const PlannedEntry& planned, std::u16string& temporary) {
  uint32_t result = rollback_.createPlannedTree(parent_directory(planned.path));
  if (result != ERROR_SUCCESS) return result;
  temporary = writingPlace(planned);
  result = kit.copyToNewFile(planned.index, temporary);
  for (int attempt = 0; result == ERROR_ALREADY_EXISTS && attempt < kTemporaryNameTries; ++attempt) {
    const uint32_t freed = rollback_.freeTemporaryName(temporary);
    if (freed != ERROR_SUCCESS) return freed;
    result = kit.copyToNewFile(planned.index, temporary);
  }
  if (result == ERROR_SUCCESS && planned.replacedMode != 0)
    result = FileSystem::SetPathMode(temporary, planned.replacedMode);
  // Never a file that stands there without being this run's.
  if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) FileSystem::DeleteFile(temporary);
  return result;
}

// Only a file this run wrote itself, or an original the backup folder holds
// by a second name, is replaced; where nothing stood (or the original has
// moved away) nothing may have appeared.
uint32_t Installer::placeFlags(const PlannedEntry& planned) {
  const bool replaces = planned.plan == Rollback::Plan::kAgain || planned.linked;
  return replaces ? uint32_t(MOVEFILE_REPLACE_EXISTING) : 0u;
}

uint32_t Installer::placeTemporary(const PlannedEntry& planned, const std::u16string& temporary) {
  const uint32_t result = FileSystem::MoveFileEx(temporary, placeOf(planned), placeFlags(planned));
  if (result == ERROR_SUCCESS) rollback_.temporaryPlaced();
  return placeFailure(planned, result);
}

uint32_t Installer::placeFailure(const PlannedEntry& planned, uint32_t result) {
  // Whatever took the free place meanwhile is not this run's to delete.
  if (result == ERROR_ALREADY_EXISTS && planned.plan == Rollback::Plan::kAdd)
    rollback_.removeRBFile(planned.path);
  if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND)
    result = ERROR_INVALID_PARAMETER;
  return result;
}

// Nothing of a streamed kit is put in place before all of it has been read:
// a kit damaged anywhere leaves the directory as it was. The renames then
// go to the lanes, each folder's in the kit's order.
uint32_t Installer::placeStaged(KitReader& kit) {
  uint32_t result = kit.finishStream();
  if (result != ERROR_SUCCESS) {
    log_event("error: " + kit.refusal());
    return failEntry(directory_, result, reportedPercent_);
  }
  result = settleWrites();
  if (result != ERROR_SUCCESS) return result;
  bool renames = false;
  for (size_t i = 0; i < staged_.size(); ++i) {
    if (staged_[i].direct()) continue;
    FileJob job;
    job.kind = FileJob::Kind::kPlace;
    job.tag = i;
    job.path = staged_[i].temporary;
    job.destination = placeOf(staged_[i]);
    job.moveFlags = placeFlags(staged_[i]);
    lanes().submit(parent_directory(staged_[i].path), std::move(job));
    renames = true;
  }
  const std::vector<FileJobFailure> failures = renames ? lanes().settle() : std::vector<FileJobFailure>();
  // The temporaries are counted placed up to the first that is not: the
  // rollback looks for the others, some of which may be gone already.
  const size_t placed = failures.empty() ? staged_.size() : failures.front().tag;
  for (size_t i = 0; i < placed; ++i) {
    if (staged_[i].direct()) continue;
    rollback_.temporaryPlaced();
    if (!staged_[i].staged) recordPlaced(staged_[i]);
  }
  if (failures.empty()) return placeStagedFolders();
  uint32_t first = ERROR_SUCCESS;
  for (const FileJobFailure& failure : failures) {
    const uint32_t code = placeFailure(staged_[failure.tag], failure.code);
    if (first == ERROR_SUCCESS) first = code;
  }
  // Reported where the progress stands: every entry has been written.
  return failEntry(staged_[placed].path, first, reportedPercent_);
}

uint32_t Installer::placeStagedFolders() {
  std::u16string failedFolder;
  const uint32_t result = rollback_.placeStagedFolders(failedFolder);
  if (result != ERROR_SUCCESS) return failEntry(failedFolder, result, reportedPercent_);
  for (const PlannedEntry& planned : staged_)
    if (planned.staged) recordPlaced(planned);
  staged_.clear();
  return ERROR_SUCCESS;
}

void Installer::recordPlaced(const PlannedEntry& planned) {
  if (run_log().isOpen())
    log_event((planned.plan == Rollback::Plan::kAdd ? "installed " : "replaced ") + narrow_lib(planned.path));
  // A file written twice in this run counts once.
  if (planned.plan == Rollback::Plan::kAdd) ++added_;
  if (planned.plan == Rollback::Plan::kKeep) ++replaced_;
}

uint32_t Installer::failEntry(const std::u16string& path, uint32_t code, uint32_t percent) {
  // The lanes first finish what they were given: the rollback then finds
  // each of their files written, or failed and gone.
  waitForLanes();
  log_event(error_event("error " + narrow_lib(path), code) + "; rolling back");
  // The box and the stderr line name the file and why, not only that the
  // installation failed.
  if (data_ != nullptr) {
    data_->reportFailedPath(path);
    data_->setInstallState(code, failureMessage(path, code), int(percent));
  }
  rollback_.rollback(code);
  if (data_ != nullptr && !rollback_.lastUndo().complete)
    data_->setInstallState(code, withRollbackOutcome(failureMessage(path, code)), int(percent));
  return code;
}

// Inside the template directory the file is named as the kit names it; the
// user chose the directory and sees it on the page before.
std::u16string Installer::failureMessage(const std::u16string& path, uint32_t code) const {
  std::u16string shown = path;
  if (!directory_.empty() && path.size() > directory_.size() &&
      path.compare(0, directory_.size(), directory_) == 0)
    shown = path.substr(directory_.size());
  std::u16string message = LoadResString("IDS_INSTALL_ERROR") + u"\n";
  if (!shown.empty()) message += printable(shown) + u"\n";
  return message + failure_reason(code);
}

// A record that cannot be written in the home directory is not a failure
// of the template directory: the message names the folder that failed.
uint32_t Installer::stopOnError(uint32_t code, uint32_t percent) {
  const std::u16string& elsewhere = rollback_.startFailurePath();
  return failEntry(elsewhere.empty() ? directory_ : elsewhere, code, percent);
}
