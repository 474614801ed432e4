// The on-disk journal of an installation run: what a later start needs to
// put the template directory back after the run was killed, or the machine
// lost power. The layout and the order of writes and syncs are described in
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

#include "install/journal_codec.h"
#include "platform/file_system.h"

enum class JournalRecordType : uint8_t {
  kDirectoryTimes = 1,    // a directory's times before the run changed its listing
  kCreatedDirectory = 2,  // a directory the run is about to create
  kKept = 3,              // a file about to be moved into the backup folder
  kAdded = 4,             // a file about to be written where none stood
  kTemporary = 5,         // a temporary file about to be written
  kCommit = 6,            // the installed files are on disk; backups may go
};

// The identity of a journal: the run record that names it, the template
// directory and the backup folder (both ending with "/").
struct JournalHeader {
  std::u16string owner;
  std::u16string target;
  std::u16string backup;
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
  void record(JournalRecordType type, const std::u16string& key);
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
  bool commitAttempted() const { return commitAt_ != kNoCommit; }
  void close();
  // Forgets records not yet written.
  void discard() { batch_.clear(); }
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  const std::u16string& path() const { return path_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::u16string path_;
  static const uint64_t kNoCommit = ~uint64_t(0);
  ByteWriter batch_;
  uint32_t failed_ = ERROR_SUCCESS;
  uint64_t size_ = 0;  // bytes in the file
  uint64_t commitAt_ = kNoCommit;
};

// Reads the journal at `path`: 0 with the contents of its whole batches; 2
// when there is no such file; 13 when its header is damaged or cut off
// (the run was stopped before the journal existed whole).
uint32_t read_journal(const std::u16string& path, JournalContents& contents);

// The whole content of the file at `path`, through the file layer.
uint32_t read_whole_file(const std::u16string& path, std::string& bytes);

// Writes all of `bytes` at the current position of `handle`.
uint32_t write_all(HANDLE handle, const std::string& bytes);

#endif  // OVN8_INSTALL_JOURNAL_FILE_H_
