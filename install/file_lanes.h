// A run's file work shared among threads, one lane each: writing a
// temporary file from bytes already read and checked, and renaming a
// temporary into its place. Each folder's work goes to one lane and is
// done there in the order it was given, so a rename follows its file's
// write, two files of one name are placed in the kit's order, and two
// lanes never wait for the same folder's lock. With more than one core
// the system calls of thousands of small files then run side by side;
// with one core (or no lanes asked for) every job runs at once on the
// caller's thread, as a loop would.
#ifndef OVN8_INSTALL_FILE_LANES_H_
#define OVN8_INSTALL_FILE_LANES_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"

struct FileJob {
  enum class Kind : uint8_t { kWrite, kPlace };
  Kind kind = Kind::kWrite;
  // The caller's number for the job's file; failures are given back by it.
  size_t tag = 0;
  // kWrite: the new file; kPlace: the temporary renamed.
  std::u16string path;
  // kPlace: where the temporary goes, with MoveFileEx's flags.
  std::u16string destination;
  uint32_t moveFlags = 0;
  // kWrite: the file's bytes, time and, when not 0, permission bits.
  std::vector<uint8_t> bytes;
  _FILETIME time = {0, 0};
  uint32_t mode = 0;
};

struct FileJobFailure {
  size_t tag = 0;
  uint32_t code = 0;
  // The failed job, its bytes still there, so that it can be done again.
  FileJob job;
};

// Runs one job as a lane does; 0 or the error number. A write that fails
// leaves no file behind, unless its name was taken (183): what stands
// there is left alone.
uint32_t run_file_job(const FileJob& job);

class FileLanes {
 public:
  // Bytes of kWrite jobs that may wait in the lanes at once: submit() waits
  // beyond that.
  static const uint64_t kDefaultBudget = 16u << 20;
  // As many lanes as the process may use cores (at most `most`), or none
  // with a single core.
  static size_t lanesForThisMachine(size_t most = 2);

  explicit FileLanes(size_t lanes = lanesForThisMachine(), uint64_t budget = kDefaultBudget);
  ~FileLanes();
  FileLanes(const FileLanes&) = delete;
  FileLanes& operator=(const FileLanes&) = delete;

  // Hands `job` to the lane of `folder` (the folder it works in).
  void submit(const std::u16string& folder, FileJob job);
  // True once some job has failed since the last settle().
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  // Waits until every job submitted has run; the failures among them, by
  // tag.
  std::vector<FileJobFailure> settle();
  // The most bytes of kWrite jobs that waited or ran at once so far.
  uint64_t peakQueuedBytes() const;

 private:
  struct Lane {
    std::deque<FileJob> waiting;
    bool busy = false;
    std::thread thread;
  };
  void work(Lane& lane);
  void noteFailure(FileJob job, uint32_t code);

  std::vector<std::unique_ptr<Lane>> lanes_;
  const uint64_t budget_;
  mutable std::mutex mutex_;
  std::condition_variable jobsCame_;
  std::condition_variable jobsDone_;
  uint64_t queuedBytes_ = 0;
  uint64_t peakQueuedBytes_ = 0;
  bool stopping_ = false;
  std::atomic<bool> failed_{false};
  std::vector<FileJobFailure> failures_;
};

#endif  // OVN8_INSTALL_FILE_LANES_H_
