// The on-disk journal of an installation run: what a later start needs to
// put the template directory back after the run was killed, or the machine
// lost power. It lies in the run's private folder inside the directory it
// protects, so it survives a reboot and moves with the directory. The layout and the order of writes and syncs are described in
// docs/journal-format.md.
//
// The journal is written in batches: records are collected in memory and
// put on disk, with a checksum, by one write and one sync (flush) before
// any of the steps they describe is taken. A batch that did not reach the
// disk whole is ignored by the reader; none of its steps had been taken.
#ifndef OVN8_INSTALL_JOURNAL_FILE_H_
#define OVN8_INSTALL_JOURNAL_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include <unordered_map>

#include "install/journal_codec.h"
#include "install/run_record.h"
#include "platform/file_system.h"

enum class JournalRecordType : uint8_t {
  kDirectoryTimes = 1,    // a directory's times before the run changed its listing
  kCreatedDirectory = 2,  // a directory the run is about to create
  kKept = 3,              // a file about to be kept in the backup folder
  kAdded = 4,             // a file about to be written where none stood
  kTemporary = 5,         // a temporary file about to be written
  kCommit = 6,            // the installed files are on disk; backups may go
  kExpected = 7,          // what the run writes at a key: size and modification time
  kFileTimes = 8,         // a file whose time alone the run sets, and its times before
  kRemovedDirectory = 9,  // a folder an uninstallation removes once empty: mode, times
  kStagedDirectory = 10,  // a directory the run makes under a staging name first
};

// The identity of a journal: the run, the directory it lies in (by device
// and inode, whatever path leads there), the private folder that holds it,
// and the directory's times before the run.
struct JournalHeader {
  uint64_t runId = 0;
  DirectoryIdentity target;
  std::u16string hiddenName;
  FileTimes targetTimes;
};

// A file as the run writes it: a file that differs was changed since.
struct ExpectedFile {
  uint64_t size = 0;
  int64_t writeSeconds = 0;
  int64_t writeNanoseconds = 0;
};

struct JournalDirectoryTimes {
  std::u16string key;  // relative to the target; empty for the target itself
  FileTimes times;
};

// Everything a journal holds, in the order written. Keys are relative to the
// target directory.
struct JournalContents {
  JournalHeader header;
  std::vector<JournalDirectoryTimes> directoryTimes;
  std::vector<std::u16string> createdDirectories;
  std::vector<std::u16string> kept;
  std::vector<std::u16string> added;
  std::vector<std::u16string> temporaries;
  // Every expectation recorded for each key (an entry that comes twice in
  // a kit may have been written in either version).
  std::unordered_map<std::u16string, std::vector<ExpectedFile>> expected;
  // Files the run only gave the entry's time (their content was the
  // entry's already), with their times before; the same shape as above.
  std::vector<JournalDirectoryTimes> fileTimes;
  // Folders an uninstallation removes, deepest first, with their modes.
  std::vector<std::pair<std::u16string, uint32_t>> removedDirectories;
  // Directories the run makes under a staging name beside them first (a
  // plain name beginning with ".n8new"), and those names.
  std::vector<std::pair<std::u16string, std::u16string>> stagedDirectories;
  bool committed = false;
};

class JournalWriter {
 public:
  JournalWriter() = default;
  ~JournalWriter() { close(); }
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Creates the journal `path` (which must not exist), writes the header
  // and puts it and its name on disk.
  uint32_t create(const std::u16string& path, const JournalHeader& header);

  // Records for the next batch; they may be collected before the journal
  // exists.
  void directoryTimes(const std::u16string& key, const FileTimes& times);
  void fileTimes(const std::u16string& key, const FileTimes& times);
  void removedDirectory(const std::u16string& key, uint32_t mode);
  void stagedDirectory(const std::u16string& key, const std::u16string& stagingName);
  void record(JournalRecordType type, const std::u16string& key);
  void expected(const std::u16string& key, const ExpectedFile& file);
  bool pending() const { return batch_.size() > 0; }

  // Writes the collected records as one batch and syncs the journal. After
  // a failure the journal takes nothing more: a batch behind a broken one
  // would never be read.
  uint32_t flush();
  // Appends the commit record and syncs it.
  uint32_t commit();
  // Cuts a commit whose write or sync failed off again, so that the journal
  // once more tells a rollback; 0 when the journal holds no commit.
  uint32_t uncommit();
  void close();
  // Forgets records not yet written.
  void discard() { batch_.clear(); }
  // Closes the journal and forgets it whole, its commit included, for the
  // next run: a commit of the last run must not stop this one's rollback.
  void forget();
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  const std::u16string& path() const { return path_; }

 private:
  void keyedTimes(JournalRecordType type, const std::u16string& key, const FileTimes& times);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::u16string path_;
  static const uint64_t kNoCommit = ~uint64_t(0);
  ByteWriter batch_;
  uint32_t failed_ = ERROR_SUCCESS;
  uint64_t size_ = 0;  // bytes in the file
  uint64_t commitAt_ = kNoCommit;
};

// Reads the journal at `path` batch by batch, with memory bounded by the
// largest batch a run writes: 0 with the contents of its whole batches; 2
// when there is no such file; 13 when its header is damaged or cut off (the
// run was stopped before the journal existed whole); 1392 ("cannot tell")
// when a whole batch holds a record of a type this reader does not know, a
// key that is not a plain relative path, or is larger than any run writes.
// A batch cut off or damaged at the end never reached the disk whole: it
// and anything after it are ignored.
uint32_t read_journal(const std::u16string& path, JournalContents& contents);

// Whether `key` is one the journal may name: a relative path of plain
// names, without empty, "." or ".." parts, control characters, or a part
// named like a run's private folder.
bool is_plain_journal_key(const std::u16string& key);

// Whether `name` may be a staging folder's name: one plain part beginning
// with ".n8new".
bool is_staging_folder_name(const std::u16string& name);

// Whether `name` is a run's private folder name: ".n8stp" and digits.
bool is_run_folder_name(const std::u16string& name);

// The whole content of the small file at `path` (at most 16 MiB; 13 for a
// larger one), through the file layer.
uint32_t read_small_file(const std::u16string& path, std::string& bytes);

// Writes all of `bytes` at the current position of `handle`.
uint32_t write_all(HANDLE handle, const std::string& bytes);

#endif  // OVN8_INSTALL_JOURNAL_FILE_H_
