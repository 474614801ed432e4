#include "install/kit_digest.h"

#include <unistd.h>

#include <vector>

#include "platform/file_system.h"
#include "platform/sha256.h"

KitDigest::~KitDigest() {
  stopping_ = true;
  join();
}

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
  thread_ = std::thread(&KitDigest::read, this, handle);
}

// On the digest's thread; leaves computed_ empty when stopped or when a
// read fails.
void KitDigest::read(void* handle) {
  Sha256 digest;
  std::vector<uint8_t> block(1 << 18);
  for (;;) {
    uint32_t got = 0;
    if (stopping_ ||
        FileSystem::ReadFile(handle, block.data(), uint32_t(block.size()), &got, nullptr) != ERROR_SUCCESS)
      break;
    if (got == 0) {
      const std::string hex = digest.finishHex();
      hex.copy(computed_, sizeof computed_ - 1);
      break;
    }
    digest.update(block.data(), got);
  }
  FileSystem::CloseHandle(handle);
}

std::string KitDigest::hex() {
  std::lock_guard<std::mutex> lock(mutex_);
  join();
  return hex_;
}
