#include "install/file_lanes.h"

#include <sched.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <system_error>
#include <utility>

#include "kit/kit_reader.h"

namespace {

const size_t kJobsTakenAtOnce = 64;

uint32_t write_file(const FileJob& job) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(job.path, GENERIC_WRITE, 0, CREATE_NEW, handle);
  if (handle == INVALID_HANDLE_VALUE) return result != 0 ? result : ERROR_INVALID_HANDLE;
  uint32_t written = 0;
  if (!job.bytes.empty())
    result = FileSystem::WriteFile(handle, job.bytes.data(), uint32_t(job.bytes.size()), &written, nullptr);
  if (result == ERROR_SUCCESS) {
    // Best effort, as for every entry: the bytes are what counts.
    FileSystem::SetFileTime(handle, nullptr, nullptr, &job.time);
    // Large files start their write-back at once, as the kit's own copy does.
    if (job.bytes.size() >= config::KitReader::kWriteBackFromSize) FileSystem::StartWriteBack(handle);
  }
  const uint32_t closed = FileSystem::CloseHandle(handle);
  if (result == ERROR_SUCCESS) result = closed;
  if (result == ERROR_SUCCESS && job.mode != 0) result = FileSystem::SetPathMode(job.path, job.mode);
  // Never a file that stands there without being whole.
  if (result != ERROR_SUCCESS) FileSystem::DeleteFile(job.path);
  return result;
}

}  // namespace

uint32_t run_file_job(const FileJob& job) {
  if (job.kind == FileJob::Kind::kPlace) return FileSystem::MoveFileEx(job.path, job.destination, job.moveFlags);
  return write_file(job);
}

size_t FileLanes::lanesForThisMachine(size_t most) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 0;
  const size_t cores = size_t(CPU_COUNT(&allowed));
  return cores < 2 ? 0 : std::min(cores, most);
}

FileLanes::FileLanes(size_t lanes, uint64_t budget) : budget_(std::max<uint64_t>(budget, 1)) {
  for (size_t i = 0; i < lanes; ++i) {
    std::unique_ptr<Lane> lane(new Lane());
    try {
      lane->thread = std::thread(&FileLanes::work, this, std::ref(*lane));
    } catch (const std::system_error&) {
      // No thread to be had: fewer lanes, or none, and the caller's thread
      // does the rest.
      break;
    }
    lanes_.push_back(std::move(lane));
  }
}

FileLanes::~FileLanes() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  jobsCame_.notify_all();
  for (std::unique_ptr<Lane>& lane : lanes_) lane->thread.join();
}

void FileLanes::submit(const std::u16string& folder, FileJob job) {
  if (lanes_.empty()) {
    const uint32_t result = run_file_job(job);
    if (result != ERROR_SUCCESS) noteFailure(std::move(job), result);
    return;
  }
  Lane& lane = *lanes_[std::hash<std::u16string>()(folder) % lanes_.size()];
  const uint64_t bytes = job.bytes.size();
  std::unique_lock<std::mutex> lock(mutex_);
  // A file larger than the budget still goes, alone.
  jobsDone_.wait(lock, [&] { return queuedBytes_ == 0 || queuedBytes_ + bytes <= budget_; });
  queuedBytes_ += bytes;
  peakQueuedBytes_ = std::max(peakQueuedBytes_, queuedBytes_);
  const bool wake = lane.waiting.empty() && !lane.busy;
  lane.waiting.push_back(std::move(job));
  lock.unlock();
  // A lane at work takes what came meanwhile when it is done: no wake-up
  // for every file.
  if (wake) jobsCame_.notify_all();
}

void FileLanes::work(Lane& lane) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    jobsCame_.wait(lock, [&] { return stopping_ || !lane.waiting.empty(); });
    if (lane.waiting.empty()) return;
    // A few at a time, so that their bytes leave the budget soon.
    const size_t taken = std::min(lane.waiting.size(), kJobsTakenAtOnce);
    std::vector<FileJob> jobs(std::make_move_iterator(lane.waiting.begin()),
                              std::make_move_iterator(lane.waiting.begin() + taken));
    lane.waiting.erase(lane.waiting.begin(), lane.waiting.begin() + taken);
    lane.busy = true;
    lock.unlock();
    uint64_t bytes = 0;
    for (FileJob& job : jobs) {
      bytes += job.bytes.size();
      const uint32_t result = run_file_job(job);
      if (result != ERROR_SUCCESS) noteFailure(std::move(job), result);
    }
    jobs.clear();
    lock.lock();
    lane.busy = false;
    queuedBytes_ -= bytes;
    jobsDone_.notify_all();
  }
}

void FileLanes::noteFailure(FileJob job, uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.push_back(FileJobFailure{job.tag, code, std::move(job)});
  failed_.store(true, std::memory_order_release);
}

uint64_t FileLanes::peakQueuedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peakQueuedBytes_;
}

std::vector<FileJobFailure> FileLanes::settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  jobsDone_.wait(lock, [&] {
    for (const std::unique_ptr<Lane>& lane : lanes_)
      if (lane->busy || !lane->waiting.empty()) return false;
    return true;
  });
  std::vector<FileJobFailure> failures;
  failures.swap(failures_);
  failed_.store(false, std::memory_order_release);
  std::sort(failures.begin(), failures.end(),
            [](const FileJobFailure& a, const FileJobFailure& b) { return a.tag < b.tag; });
  return failures;
}
