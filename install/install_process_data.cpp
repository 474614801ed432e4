#include "install/install_process_data.h"

#include <errno.h>
#include <time.h>

#include "platform/path.h"
#include "platform/text.h"

namespace {

// Holds the semaphore for one scope; the destructor posts it, also when the
// work inside the scope throws.
class SemaphoreLock {
 public:
  explicit SemaphoreLock(sem_t& semaphore) : semaphore_(semaphore) {
    while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
    }
  }
  ~SemaphoreLock() { sem_post(&semaphore_); }
  SemaphoreLock(const SemaphoreLock&) = delete;
  SemaphoreLock& operator=(const SemaphoreLock&) = delete;

 private:
  sem_t& semaphore_;
};

}  // namespace

InstallProcessData::InstallProcessData() : kit_(nullptr), cancelled_(false) {
  sem_init(&lock_, 0, 1);  // private to this process, free
  sem_init(&ended_, 0, 0);
}

InstallProcessData::~InstallProcessData() {
  sem_destroy(&ended_);
  sem_destroy(&lock_);
}

void InstallProcessData::init(KitReader* kit, const std::u16string& directory) {
  SemaphoreLock lock(lock_);
  directory_ = with_trailing_separator(directory, PathSeparators::kSlashAndBackslash);
  kit_ = kit;
  cancelled_ = false;
  paused_ = false;
  // A new run: nothing reported yet but the message of the last.
  std::u16string message;
  message.swap(report_.message);
  report_ = RunReport();
  report_.message.swap(message);
  while (sem_trywait(&ended_) == 0) {
  }
}

void InstallProcessData::get(KitReader*& kit, std::u16string& directory) {
  SemaphoreLock lock(lock_);
  kit = kit_;
  directory = directory_;
}

void InstallProcessData::setInstallState(uint32_t code, const std::u16string& message,
                                         int progress) {
  SemaphoreLock lock(lock_);
  report_.message = message;  // the one step that can throw goes first
  report_.code = code;
  report_.progress = progress;
}

void InstallProcessData::getInstallState(uint32_t& code, std::u16string& message,
                                         int& progress) {
  SemaphoreLock lock(lock_);
  code = report_.code;
  message = report_.message;
  progress = report_.progress;
}

void InstallProcessData::setCancel(bool cancel) {
  SemaphoreLock lock(lock_);
  cancelled_ = cancel;
}

bool InstallProcessData::isCancelled() {
  SemaphoreLock lock(lock_);
  return cancelled_;
}

void InstallProcessData::reportEntry(uint32_t index, uint32_t count, std::u16string_view name,
                                     const std::u16string& path, int progress) {
  SemaphoreLock lock(lock_);
  report_.message = path;
  report_.entryName.assign(name);
  report_.code = 0;
  report_.progress = progress;
  report_.phase = RunPhase::kCopying;
  report_.entry = index;
  report_.entries = count;
}

void InstallProcessData::reportRestoring(uint32_t left, uint32_t total) {
  SemaphoreLock lock(lock_);
  report_.phase = RunPhase::kRestoring;
  report_.restoreLeft = left;
  report_.restoreTotal = total;
}

void InstallProcessData::reportCounts(uint32_t installed, uint32_t replaced, uint32_t kept,
                                      uint32_t timeUpdated, uint32_t places) {
  SemaphoreLock lock(lock_);
  report_.places = places;
  report_.installed = installed;
  report_.replaced = replaced;
  report_.kept = kept;
  report_.timeUpdated = timeUpdated;
}

void InstallProcessData::reportFailedPath(const std::u16string& path) {
  SemaphoreLock lock(lock_);
  report_.failedPath = path;
}

void InstallProcessData::reportEnd(uint32_t result) {
  SemaphoreLock lock(lock_);
  report_.result = result;
  report_.phase = RunPhase::kEnded;
  sem_post(&ended_);
}

bool InstallProcessData::waitForEnd(unsigned milliseconds) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += long(milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    ++until.tv_sec;
    until.tv_nsec -= 1000000000L;
  }
  int rc;
  while ((rc = sem_clockwait(&ended_, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
  }
  if (rc != 0) return false;
  sem_post(&ended_);  // ended for every later waiter too
  return true;
}

void InstallProcessData::getReport(RunReport& report) {
  SemaphoreLock lock(lock_);
  report = report_;
}

void InstallProcessData::setPaused(bool paused) {
  SemaphoreLock lock(lock_);
  paused_ = paused;
}

// Polled: the question is open for seconds, and the worker needs nothing
// faster than the user's answer.
void InstallProcessData::waitWhilePaused() {
  const int kPollMs = 10;
  while (true) {
    {
      SemaphoreLock lock(lock_);
      if (!paused_ || cancelled_) return;
    }
    Sleep(kPollMs);
  }
}
