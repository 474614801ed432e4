// The fields of the journal and the run record: the little-endian codec
// (platform/byte_codec.h) and the CRC-32 that guards them.
#ifndef OVN8_INSTALL_JOURNAL_CODEC_H_
#define OVN8_INSTALL_JOURNAL_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <zlib.h>

#include "platform/byte_codec.h"

// The checksum of the journal's frames and of the run record.
inline uint32_t crc_of(const char* data, size_t size) {
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), uInt(size)));
}

// A CRC-32 as text files carry it: eight lower-case hex digits.
inline std::string crc_text(uint32_t crc) {
  char text[9];
  snprintf(text, sizeof text, "%08x", crc);
  return text;
}

#endif  // OVN8_INSTALL_JOURNAL_CODEC_H_
