// Reading a whole file block by block through the file layer, for the
// checksums that are taken of files in place.
#ifndef OVN8_PLATFORM_FILE_BLOCKS_H_
#define OVN8_PLATFORM_FILE_BLOCKS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Hands every block of the file at `path` to `consume`, in order; 0 or the
// error number of the open or of a read.
uint32_t read_file_blocks(const std::u16string& path,
                          const std::function<void(const uint8_t*, size_t)>& consume);

#endif  // OVN8_PLATFORM_FILE_BLOCKS_H_
