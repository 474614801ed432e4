#include "install/same_content.h"

#include <zlib.h>

#include "platform/file_blocks.h"

uint32_t crc32_of_file(const std::u16string& path, uint32_t& crc) {
  uLong sum = crc32(0L, Z_NULL, 0);
  const uint32_t result = read_file_blocks(path, [&sum](const uint8_t* data, size_t size) {
    sum = crc32(sum, reinterpret_cast<const Bytef*>(data), uInt(size));
  });
  if (result == ERROR_SUCCESS) crc = uint32_t(sum);
  return result;
}

bool holds_entry_content(KitReader& kit, uint32_t index, const std::u16string& path,
                         const FileStatus& seen) {
  if (seen.kind != FileKind::kRegular || seen.size != kit.entries[index].size) return false;
  uint32_t entryCrc = 0, fileCrc = 0;
  return kit.entryCrc32(index, entryCrc) == ERROR_SUCCESS &&
         crc32_of_file(path, fileCrc) == ERROR_SUCCESS && entryCrc == fileCrc;
}
