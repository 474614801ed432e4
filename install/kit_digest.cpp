#include "install/kit_digest.h"

#include <unistd.h>

#include "platform/file_system.h"
#include "platform/sha256.h"

KitDigest::~KitDigest() { join(); }

// A process forked while the digest was read has no such thread: it lets
// go of the parent's and reads the file itself.
void KitDigest::join() {
  if (!thread_.joinable()) return;
  if (startedBy_ == getpid()) {
    thread_.join();
    hex_ = computed_;
    return;
  }
  thread_.detach();
  if (sha256_of_file(path_, hex_) != ERROR_SUCCESS) hex_.clear();
}

void KitDigest::start(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  join();
  hex_.clear();
  computed_[0] = '\0';
  path_ = path;
  startedBy_ = getpid();
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle) != ERROR_SUCCESS) return;
  thread_ = std::thread([this, handle] {
    std::string hex;
    if (sha256_of_open_file(handle, hex) == ERROR_SUCCESS && hex.size() + 1 == sizeof computed_)
      hex.copy(computed_, hex.size());
    FileSystem::CloseHandle(handle);
  });
}

std::string KitDigest::hex() {
  std::lock_guard<std::mutex> lock(mutex_);
  join();
  return hex_;
}
