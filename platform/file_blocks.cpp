#include "platform/file_blocks.h"

#include <memory>

#include "platform/file_system.h"

namespace {

const uint32_t kBlockSize = 1 << 18;

// Each thread keeps its block: checksums are taken of thousands of small
// files in a row, and a fresh block for each (zeroed, mapped and unmapped
// again) cost more than reading them. A consumer that reads another file
// meanwhile gets a block of its own.
class ThreadBlock {
 public:
  ThreadBlock() {
    thread_local std::unique_ptr<uint8_t[]> kept;
    thread_local bool busy = false;
    if (busy) {
      own_.reset(new uint8_t[kBlockSize]);
      data_ = own_.get();
      return;
    }
    if (!kept) kept.reset(new uint8_t[kBlockSize]);
    data_ = kept.get();
    busy_ = &busy;
    busy = true;
  }
  ~ThreadBlock() {
    if (busy_ != nullptr) *busy_ = false;
  }
  ThreadBlock(const ThreadBlock&) = delete;
  ThreadBlock& operator=(const ThreadBlock&) = delete;
  uint8_t* data() const { return data_; }

 private:
  std::unique_ptr<uint8_t[]> own_;
  uint8_t* data_ = nullptr;
  bool* busy_ = nullptr;
};

}  // namespace

uint32_t read_file_blocks(const std::u16string& path,
                          const std::function<void(const uint8_t*, size_t)>& consume) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return result;
  const ThreadBlock block;
  for (;;) {
    uint32_t got = 0;
    result = FileSystem::ReadFile(handle, block.data(), kBlockSize, &got, nullptr);
    if (result != ERROR_SUCCESS || got == 0) break;
    consume(block.data(), got);
  }
  FileSystem::CloseHandle(handle);
  return result;
}
