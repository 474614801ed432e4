#include "install/install_process_data.h"

#include <errno.h>

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

InstallProcessData::InstallProcessData()
    : kit_(nullptr), cancelled_(false), stateCode_(0), progress_(0) {
  sem_init(&lock_, 0, 1);  // private to this process, free
}

InstallProcessData::~InstallProcessData() { sem_destroy(&lock_); }

void InstallProcessData::init(KitReader* kit, const std::u16string& directory) {
  SemaphoreLock lock(lock_);
  directory_ = with_trailing_separator(directory, PathSeparators::kSlashAndBackslash);
  kit_ = kit;
  cancelled_ = false;
  stateCode_ = 0;
  progress_ = 0;
}

void InstallProcessData::get(KitReader*& kit, std::u16string& directory) {
  SemaphoreLock lock(lock_);
  kit = kit_;
  directory = directory_;
}

void InstallProcessData::setInstallState(uint32_t code, const std::u16string& message,
                                         int progress) {
  SemaphoreLock lock(lock_);
  stateMessage_ = message;  // the one step that can throw goes first
  stateCode_ = code;
  progress_ = progress;
}

void InstallProcessData::getInstallState(uint32_t& code, std::u16string& message,
                                         int& progress) {
  SemaphoreLock lock(lock_);
  code = stateCode_;
  message = stateMessage_;
  progress = progress_;
}

void InstallProcessData::setCancel(bool cancel) {
  SemaphoreLock lock(lock_);
  cancelled_ = cancel;
}

bool InstallProcessData::isCancelled() {
  SemaphoreLock lock(lock_);
  return cancelled_;
}
