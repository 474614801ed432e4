#include "platform/run_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace {

std::string time_stamp() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  char seconds[32] = "?";
  char zone[8] = "";
  if (localtime_r(&now.tv_sec, &parts) != nullptr) {
    strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &parts);
    strftime(zone, sizeof zone, "%z", &parts);
  }
  // RFC 3339 wants the offset's hours and minutes apart: +0100 is +01:00.
  std::string offset = zone;
  if (offset.size() == 5) offset.insert(3, ":");
  char stamp[64];
  snprintf(stamp, sizeof stamp, "%s.%03ld%s", seconds, long(now.tv_nsec / 1000000), offset.c_str());
  return stamp;
}

// Eight hex digits that tell this run from others writing to the same log,
// even from a process with the same id on another machine or day.
std::string new_run_id() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t mixed = uint64_t(now.tv_sec) * 1000000007u ^ uint64_t(now.tv_nsec) ^
                   (uint64_t(getpid()) << 32);
  mixed ^= mixed >> 29;
  mixed *= 0xBF58476D1CE4E5B9u;
  mixed ^= mixed >> 32;
  char id[16];
  snprintf(id, sizeof id, "%08x", unsigned(mixed & 0xFFFFFFFFu));
  return id;
}

}  // namespace

RunLog::~RunLog() { close(); }

std::string RunLog::runId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return runId_;
}

uint32_t RunLog::open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  path_ = path;
  failed_ = false;
  if (runId_.empty()) runId_ = new_run_id();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd_ >= 0) return ERROR_SUCCESS;
  const int saved = errno;
  fail(strerror(saved));
  return errorFromErrNo(saved);
}

void RunLog::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RunLog::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_ >= 0;
}

bool RunLog::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

void RunLog::setFailureReporter(std::function<void(const std::string&, const std::string&)> reporter) {
  std::lock_guard<std::mutex> lock(mutex_);
  reporter_ = std::move(reporter);
}

void RunLog::write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  const std::string line = time_stamp() + " pid=" + std::to_string(getpid()) + " run=" + runId_ + " " +
                           printable(text) + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t wrote = ::write(fd_, line.data() + done, line.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      fail(wrote < 0 ? strerror(errno) : "nothing written");
      return;
    }
    done += size_t(wrote);
  }
}

// Called with the mutex held. The file is closed, so the rest of the run
// logs nothing and the reporter hears of it once.
void RunLog::fail(const std::string& reason) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (failed_) return;
  failed_ = true;
  if (reporter_) reporter_(path_, reason);
}

RunLog& run_log() {
  static RunLog* log = new RunLog;  // lives to the end, for late reports
  return *log;
}

void log_event(const std::string& text) { run_log().write(text); }

void log_event(const std::u16string& text) {
  if (run_log().isOpen()) run_log().write(narrow_lib(text));
}

std::string system_message(int errnoValue) {
  char buffer[256] = {};
  // The GNU form: the message may be a static text instead of the buffer.
  return strerror_r(errnoValue, buffer, sizeof(buffer));
}

std::string error_text(uint32_t error) {
  switch (error) {
    case ERROR_SUCCESS: return "success";
    case ERROR_FILE_NOT_FOUND: return "file not found";
    case ERROR_PATH_NOT_FOUND: return "path not found";
    case ERROR_INVALID_HANDLE: return "invalid handle";
    case ERROR_INVALID_DATA: return "invalid data";
    case ERROR_NOT_SAME_DEVICE: return "not on the same device";
    case ERROR_LOCK_VIOLATION: return "locked by another process";
    case ERROR_INVALID_PARAMETER: return "not permitted or invalid";
    case ERROR_DISK_FULL: return "no space left";
    case ERROR_INVALID_NAME: return "invalid name";
    case ERROR_DIR_NOT_EMPTY: return "directory not empty";
    case ERROR_ALREADY_EXISTS: return "already exists";
    case ERROR_FILENAME_EXCED_RANGE: return "path too long";
    case ERROR_DIRECTORY: return "a folder stands where the file goes";
    case ERROR_CANTWRITE: return "cannot write";
    case ERROR_CANCELLED: return "cancelled by the user";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_WRITE_PROTECT: return "read-only file system";
    case ERROR_NOT_A_FOLDER: return "a file stands where a folder is needed";
    case ERROR_LINKED_FOLDER: return "a folder on the way is a link";
    default:
      return is_system_error(error) ? system_message(errno_of_system_error(error)) : "error";
  }
}

std::string error_event(const std::string& text, uint32_t error) {
  return text + ": " + error_text(error) + " (error " + std::to_string(error) + ")";
}
