#include "platform/file_blocks.h"

#include <vector>

#include "platform/file_system.h"

uint32_t read_file_blocks(const std::u16string& path,
                          const std::function<void(const uint8_t*, size_t)>& consume) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return result;
  std::vector<uint8_t> block(1 << 18);
  for (;;) {
    uint32_t got = 0;
    result = FileSystem::ReadFile(handle, block.data(), uint32_t(block.size()), &got, nullptr);
    if (result != ERROR_SUCCESS || got == 0) break;
    consume(block.data(), got);
  }
  FileSystem::CloseHandle(handle);
  return result;
}
