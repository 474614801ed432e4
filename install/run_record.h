// The run record: a small file in the user's state folder, one per
// installation in progress. It is only an index of directories to visit at
// the next start: what a run did, and everything needed to undo it, lies in
// the journal inside the directory itself (see journal_file.h). The record
// names the directory by path and by identity (device and inode), so that a
// start can tell a directory that was moved, unmounted or replaced from the
// one the run changed, and the levels of a missing directory that the run
// creates, before it creates them. The layout is described in
// docs/journal-format.md.
#ifndef OVN8_INSTALL_RUN_RECORD_H_
#define OVN8_INSTALL_RUN_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

// A directory as the file system knows it, whatever path leads to it.
struct DirectoryIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool known() const { return device != 0 || inode != 0; }
  bool operator==(const DirectoryIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
  bool operator!=(const DirectoryIdentity& other) const { return !(*this == other); }
};

inline DirectoryIdentity identity_of(const FileStatus& status) {
  DirectoryIdentity identity;
  identity.device = status.device;
  identity.inode = status.inode;
  return identity;
}

struct RunRecord {
  uint32_t pid = 0;
  // Names the run in its journal's header as well.
  uint64_t runId = 0;
  std::u16string target;  // ends with "/"
  // Unknown (0, 0) until the target exists; the nearest existing level
  // above the created ones while they are being made.
  DirectoryIdentity targetIdentity;
  DirectoryIdentity anchorIdentity;
  // The run's private folder inside the target (".n8stp<N>"); empty until
  // the run claims one.
  std::u16string hiddenName;
  FileTimes targetTimes;  // the template directory's times before the run
  // Set once the run has been undone, before its private folder goes: a
  // start that finds the folder gone then puts the directory's times back.
  bool rolledBack = false;
  // Levels of the template directory that the run creates, outer first.
  std::vector<std::u16string> createdLevels;
  // The times of the level above them before the run made them (unknown,
  // all 0, in records of version 2).
  FileTimes anchorTimes;
};

// The folder in the home directory that holds the wizard's run records.
std::u16string state_folder();

class RunRecordFile {
 public:
  // Creates a new record file in the state folder with `record`, and puts
  // it and its name on disk.
  uint32_t create(const RunRecord& record);
  // Replaces the record's content, synced.
  uint32_t rewrite(const RunRecord& record);
  // Deletes the record file and puts the deletion on disk.
  uint32_t remove();
  const std::u16string& path() const { return path_; }
  // Takes over an existing record (recovery).
  void adopt(const std::u16string& path) { path_ = path; }

 private:
  uint32_t write(HANDLE handle, const RunRecord& record, bool cut);

  std::u16string path_;
};

// Once every created level is gone: puts the times of the level above them
// back, when that level is still the one the record names.
void restore_anchor_times(const RunRecord& record);

// Paths of the run records in the state folder.
std::vector<std::u16string> find_run_records();

// Reads a record. 0 when it is whole; 13 when it is cut off or damaged (its
// process died before finishing it); otherwise the error of reading it.
uint32_t read_run_record(const std::u16string& path, RunRecord& record);

// The process id in a record file's name; 0 when there is none.
uint32_t run_record_pid(const std::u16string& path);

// Whether a process with this id exists.
bool process_runs(uint32_t pid);

// Records an earlier version of the wizard left in the home directory
// (".ovn8run-*"), with the backup folder each names (empty when it cannot
// be read). Such a run kept its originals outside the directory; a start
// names the folder to the user and drops the record, deleting nothing else.
struct LegacyRunRecord {
  std::u16string path;
  std::u16string target;
  std::u16string backup;
};
std::vector<LegacyRunRecord> find_legacy_run_records();

#endif  // OVN8_INSTALL_RUN_RECORD_H_
