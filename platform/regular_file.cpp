#include "platform/regular_file.h"

#include <cstdio>

#include "platform/file_system.h"

namespace {

const uint32_t kChunkBytes = 16 * 1024;

// Reads until the end of the file, refusing more than `limit` bytes.
uint32_t read_to_end(HANDLE handle, uint64_t limit, std::string& bytes) {
  char chunk[kChunkBytes];
  for (;;) {
    uint32_t got = 0;
    const uint32_t result = FileSystem::ReadFile(handle, chunk, sizeof chunk, &got, nullptr);
    if (result != ERROR_SUCCESS) return result;
    if (got == 0) return ERROR_SUCCESS;
    if (bytes.size() + got > limit) return ERROR_INVALID_DATA;
    bytes.append(chunk, got);
  }
}

uint32_t read_open_file(HANDLE handle, uint64_t limit, std::string& bytes) {
  FileStatus status;
  const uint32_t looked = FileSystem::GetHandleStatus(handle, status);
  if (looked != ERROR_SUCCESS) return looked;
  // The size is checked before reading: an endless stream never fills memory.
  if (status.kind != FileKind::kRegular || status.size > limit) return ERROR_INVALID_DATA;
  return read_to_end(handle, limit, bytes);
}

}  // namespace

uint32_t read_regular_file(const std::u16string& path, uint64_t limit, std::string& bytes) {
  bytes.clear();
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Opening for reading never blocks, a FIFO included.
  uint32_t result = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return result;
  result = read_open_file(handle, limit, bytes);
  FileSystem::CloseHandle(handle);
  if (result != ERROR_SUCCESS) bytes.clear();
  return result;
}

uint32_t process_umask() {
  std::string status;
  read_regular_file(u"/proc/self/status", 64u << 10, status);
  const size_t at = status.find("\nUmask:");
  unsigned value = 0;
  if (at != std::string::npos && sscanf(status.c_str() + at + 1, "Umask: %o", &value) == 1)
    return value & 0777;
  return 022;
}
