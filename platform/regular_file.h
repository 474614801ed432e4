// Reading a small regular file whole through the file layer.
#ifndef OVN8_PLATFORM_REGULAR_FILE_H_
#define OVN8_PLATFORM_REGULAR_FILE_H_

#include <cstdint>
#include <string>

// Reads the regular file at `path` (a link is followed) into `bytes`.
// 0, or the file layer's error of opening, looking at or reading it (2
// when nothing is there); 13 when it is not a regular file, so that a FIFO
// or a device is refused without blocking, or when it holds more than
// `limit` bytes, also by growing while it is read. On failure `bytes` is
// empty.
uint32_t read_regular_file(const std::u16string& path, uint64_t limit, std::string& bytes);

// The process's umask as its status file tells it (022 when that cannot be
// read): asking umask() itself would change it for every thread meanwhile.
uint32_t process_umask();

#endif  // OVN8_PLATFORM_REGULAR_FILE_H_
