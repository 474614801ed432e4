// The fields of the journal and the run record: the little-endian codec
// (platform/byte_codec.h) and the CRC-32 that guards them.
#ifndef OVN8_INSTALL_JOURNAL_CODEC_H_
#define OVN8_INSTALL_JOURNAL_CODEC_H_

#include <cstddef>
#include <cstdint>

#include <zlib.h>

#include "platform/byte_codec.h"

// The checksum of the journal's frames and of the run record.
inline uint32_t crc_of(const char* data, size_t size) {
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), uInt(size)));
}

#endif  // OVN8_INSTALL_JOURNAL_CODEC_H_
