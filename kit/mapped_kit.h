// A kit file opened and mapped whole, read-only: the decoders read the
// stream straight from the page cache.
#ifndef OVN8_KIT_MAPPED_KIT_H_
#define OVN8_KIT_MAPPED_KIT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace config {

// A read-only private mapping of a whole open file.
class Mapping {
 public:
  Mapping() = default;
  ~Mapping() { FileSystem::UnmapFile(data_, size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  uint32_t map(HANDLE handle, uint64_t size) {
    size_ = size;
    return FileSystem::MapFile(handle, size, data_);
  }
  const uint8_t* data() const { return data_; }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

// The kit, open and mapped whole.
struct MappedKit {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint64_t length = 0;
  std::unique_ptr<Mapping> mapping;

  MappedKit() = default;
  MappedKit(const MappedKit&) = delete;
  MappedKit& operator=(const MappedKit&) = delete;
  ~MappedKit() {
    mapping.reset();
    if (handle != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(handle);
  }
};

// Opens and maps the kit at `source`. 0; 2 when it is missing; 13 when it
// is no regular file or is empty; the file layer's number otherwise.
uint32_t mapKit(const std::u16string& source, MappedKit& kit);

}  // namespace config

#endif  // OVN8_KIT_MAPPED_KIT_H_
