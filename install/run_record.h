// The run record: a small file in the user's home, one per installation in
// progress, that names the installation's template directory and its backup
// folder (whose journal lies beside it as <folder>.journal). It is written
// and synced before anything else of the run exists and removed after
// everything else is gone, so that a start after a kill or a power cut
// finds every journal that may need recovering. The layout is described in
// docs/journal-format.md.
#ifndef OVN8_INSTALL_RUN_RECORD_H_
#define OVN8_INSTALL_RUN_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

struct RunRecord {
  uint32_t pid = 0;
  std::u16string target;  // ends with "/"
  std::u16string backup;  // the backup folder, ends with "/"
  FileTimes targetTimes;  // the template directory's times before the run
  // Levels of the template directory that the run creates, outer first.
  std::vector<std::u16string> createdLevels;
};

// The journal that belongs to a backup folder: the folder's path (without
// its trailing "/") followed by ".journal".
std::u16string journal_path_of(const std::u16string& backupFolder);

class RunRecordFile {
 public:
  // Creates a new record file in the home directory with `record`, and puts
  // it and its name on disk.
  uint32_t create(const RunRecord& record);
  // Replaces the record's content (a new backup folder name), synced.
  uint32_t rewrite(const RunRecord& record);
  // Deletes the record file.
  void remove();
  const std::u16string& path() const { return path_; }
  // Takes over an existing record (recovery).
  void adopt(const std::u16string& path) { path_ = path; }

 private:
  uint32_t write(HANDLE handle, const RunRecord& record, bool cut);

  std::u16string path_;
};

// Paths of the run records in the home directory.
std::vector<std::u16string> find_run_records();

// Reads a record. 0 when it is whole; 13 when it is cut off or damaged (its
// process died before finishing it); otherwise the error of reading it.
uint32_t read_run_record(const std::u16string& path, RunRecord& record);

// The process id in a record file's name; 0 when there is none.
uint32_t run_record_pid(const std::u16string& path);

// Whether a process with this id exists.
bool process_runs(uint32_t pid);

#endif  // OVN8_INSTALL_RUN_RECORD_H_
