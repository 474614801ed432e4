#include "install/kit_digest.h"

#include <vector>

#include "platform/file_system.h"
#include "platform/sha256.h"

KitDigest::~KitDigest() {
  stopping_ = true;
  join();
}

void KitDigest::join() {
  if (thread_.joinable()) thread_.join();
}

void KitDigest::start(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  join();
  hex_.clear();
  readUnchanged_ = false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle) != ERROR_SUCCESS) return;
  FileStatus opened;
  if (FileSystem::GetHandleStatus(handle, opened) == ERROR_SUCCESS && opened.kind == FileKind::kRegular) {
    hex_ = cache_.find(opened);
    if (!hex_.empty()) {
      FileSystem::CloseHandle(handle);
      return;
    }
  }
  opened_ = opened;
  thread_ = std::thread(&KitDigest::read, this, handle);
}


void KitDigest::read(void* handle) {
  Sha256 digest;
  std::vector<uint8_t> block(1 << 18);
  for (;;) {
    uint32_t got = 0;
    if (stopping_ ||
        FileSystem::ReadFile(handle, block.data(), uint32_t(block.size()), &got, nullptr) != ERROR_SUCCESS)
      break;
    if (got == 0) {
      hex_ = digest.finishHex();
      // Only a file that did not change while it was read is remembered.
      FileStatus after;
      readUnchanged_ = FileSystem::GetHandleStatus(handle, after) == ERROR_SUCCESS && same_kit_file(opened_, after);
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

void KitDigest::remember() {
  std::lock_guard<std::mutex> lock(mutex_);
  join();
  if (readUnchanged_ && !hex_.empty()) cache_.remember(opened_, hex_);
  readUnchanged_ = false;
}
