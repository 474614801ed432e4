// One installation run: every kit entry whose file in the template
// directory is missing or older than the entry is written, the replaced
// file kept in the rollback journal; progress and outcome are reported
// through the shared InstallProcessData. At the end the journal is
// discarded (success) or rolled back (error, cancellation).
#ifndef OVN8_INSTALL_INSTALLER_H_
#define OVN8_INSTALL_INSTALLER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "install/file_lanes.h"
#include "install/install_process_data.h"
#include "install/installation_record.h"
#include "install/present_record.h"
#include "install/record_builder.h"
#include "install/rollback.h"
#include "install/up_to_date.h"
#include "platform/file_system.h"

class Installer {
 public:
  Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  // Installs the kit of `data` into its directory. 0 on success; otherwise
  // the error number of the failure, or 1223 after a cancel request.
  uint32_t run(InstallProcessData* data);
  // True when the entry with `entryTime` must be written to `path`: the
  // rule of install/up_to_date.h. A folder at `path`, or a look that fails,
  // is also true, with the error kept for run to report.
  bool compareFiles(const std::u16string& path, const _FILETIME& entryTime) {
    return lookAtEntryPlace(path, entryTime).write;
  }
  // The kit as the installation record names it (by default only its
  // product and vendor names are left empty and its digest unknown).
  void setKitIdentity(const KitIdentity& kit) { kitIdentity_ = kit; }
  // The kit's digest, asked for only when the record is written: reading
  // the kit for it goes on beside the run until then.
  void setKitDigest(const std::function<std::string()>& digest) { kitDigest_ = digest; }
  // The lanes that write a streamed kit's files (0: the run's own thread
  // writes them). Test seam: by default as many as the cores allow.
  void setFileLanes(size_t lanes) {
    laneCount_ = lanes;
    lanes_.reset();
  }
  // Reports the failure (code, installation error text, percent) and rolls
  // the run back; returns `code`.
  uint32_t stopOnError(uint32_t code, uint32_t percent);

 private:
  // One entry of a batch: where it goes, what its report says, and, when it
  // is written, what happens to what stands there and the temporary name it
  // is written under first.
  struct PlannedEntry {
    uint32_t index = 0;
    std::u16string path;
    uint32_t percent = 0;
    bool write = false;
    Rollback::Plan plan = Rollback::Plan::kAdd;
    std::u16string temporary;
    // The permission bits of the regular file the entry replaces, which the
    // new file takes over; 0 when it replaces none.
    uint32_t replacedMode = 0;
    // The original still stands in its place with a second name in the
    // backup folder: the new file replaces it.
    bool linked = false;
    // The file there holds the entry's content: only its time is set.
    bool retime = false;
    // The entry lies in a folder the run makes under a staging name: it is
    // written there and comes to its place with the folder. Unless it replaces an earlier entry of the same name,
    // it is written under its own name and needs no rename of its own.
    bool staged = false;
    bool direct() const { return staged && plan == Rollback::Plan::kAdd; }
  };
  // run without the final report of its end.
  uint32_t runEntries(InstallProcessData* data);
  // Plans entries [first, end) into batch_, fewer when the files to write
  // reach the batch's bytes; stops at the first entry that cannot be
  // installed, with its error in failure_ (it stays the last planned
  // entry).
  void planBatch(KitReader& kit, const std::u16string& directory, size_t first, size_t end);
  void lookAheadAt(const KitReader& kit, const std::u16string& directory, size_t first, size_t end);
  uint32_t planEntry(KitReader& kit, const std::u16string& directory, PlannedEntry& planned);
  // Writes the entry under its temporary name and, unless the kit is
  // streamed, puts it in place; a streamed kit's entries wait in staged_
  // until the whole stream has been read and found sound.
  uint32_t writeEntry(KitReader& kit, const PlannedEntry& planned);
  uint32_t planRetime(KitReader& kit, const std::u16string& key, const FileStatus& seen,
                      PlannedEntry& planned);
  uint32_t retimeEntry(KitReader& kit, const PlannedEntry& planned);
  // Writes the installation record in the run's transaction, unless the
  // directory's record says the same already.
  uint32_t writeRecord();
  // Writes the entry whole where writingPlace says, after making its
  // folder; `temporary` is set to where it went (a fresh name when that
  // one was taken).
  uint32_t writeTemporary(KitReader& kit, const PlannedEntry& planned, std::u16string& temporary);
  // A streamed entry small enough to wait in memory: read here, written by
  // a lane (see install/file_lanes.h).
  uint32_t stageEntry(KitReader& kit, const PlannedEntry& planned);
  FileLanes& lanes();
  // Waits for the lanes' writes; a failure among them ends the run.
  uint32_t settleWrites();
  // Before a rollback: waits until the lanes have done what they were
  // given, whatever became of it.
  void waitForLanes();
  uint32_t placeTemporary(const PlannedEntry& planned, const std::u16string& temporary);
  // Where the entry's file stands until the run ends: its path, or its
  // place in its staging folder.
  std::u16string placeOf(const PlannedEntry& planned) const;
  // Picks where the entry is written first: a temporary name beside its
  // file, or its own name in its staging folder.
  void planWritingPlace(const std::u16string& key, PlannedEntry& planned);
  // Where the entry is written: its temporary, or its place in its staging
  // folder.
  std::u16string writingPlace(const PlannedEntry& planned) const;
  // Renames the staging folders to their names, then counts their files.
  uint32_t placeStagedFolders();
  static uint32_t placeFlags(const PlannedEntry& planned);
  // What a failed rename of `planned` means for the run: the error then
  // reported.
  uint32_t placeFailure(const PlannedEntry& planned, uint32_t result);
  // Checks the rest of a streamed kit, then puts every staged entry in
  // place, in the order they were planned.
  uint32_t placeStaged(KitReader& kit);
  // Logs and counts a file now in its place.
  void recordPlaced(const PlannedEntry& planned);
  // Keeps the originals the batch replaces and puts their kept names on
  // disk, before any of them is replaced.
  uint32_t keepOriginals();
  // The failure message, with what a rollback that could not finish left.
  std::u16string withRollbackOutcome(const std::u16string& message) const;
  void report(const std::u16string& message, uint32_t percent);
  // Logs the failure at `path`, reports it naming the path and the reason,
  // and rolls the run back; returns `code`.
  uint32_t failEntry(const std::u16string& path, uint32_t code, uint32_t percent);
  // The installation error text, the path (relative to the directory when
  // inside it) and the reason in the interface language.
  std::u16string failureMessage(const std::u16string& path, uint32_t code) const;
  // Logs the cancel request and rolls the run back; returns 1223.
  uint32_t cancel();
  // 206 when some entry's destination would be longer than a path may be.
  static uint32_t checkDestinationLengths(const KitReader& kit, const std::u16string& directory);

  Rollback rollback_;
  InstallProcessData* data_;
  std::u16string directory_;
  std::vector<PlannedEntry> batch_;
  // Entries of a streamed kit written under their temporary names (which
  // `temporary` holds), not yet in place.
  std::vector<PlannedEntry> staged_;
  uint32_t failure_ = 0;
  // The files the run wrote new, wrote over older copies, and left in
  // place because they are newer than the kit's entries (reported through
  // the shared state at the end).
  uint32_t added_ = 0;
  uint32_t replaced_ = 0;
  uint32_t kept_ = 0;
  // Files whose content was the entry's already, given the entry's time.
  uint32_t retimed_ = 0;
  uint32_t reportedPercent_ = 0;
  KitIdentity kitIdentity_;
  std::function<std::string()> kitDigest_;
  RecordBuilder recordBuilder_;
  // Read as the run begins, decoded while it plans.
  PresentRecord presentRecord_;
  size_t batchFirst_ = 0;  // the kit's number of the batch's first entry
  // The modification time (whole seconds) of every file this run has
  // planned to write, by key: a later entry of the same name compares with
  // it.
  std::unordered_map<std::u16string, int64_t> plannedTimes_;
  // Open for one batch's planning only: writing comes between batches.
  FolderStatusLookup placeLookup_;
  // Made at the first streamed entry; laneCount_ lanes (see FileLanes).
  std::unique_ptr<FileLanes> lanes_;
  size_t laneCount_ = FileLanes::lanesForThisMachine();
};

#endif  // OVN8_INSTALL_INSTALLER_H_
