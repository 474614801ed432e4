// Decompression policy of the kit reader: a kit is one raw DEFLATE stream
// (no zlib or gzip header, no trailer, no checksum).
#ifndef OVN8_KIT_LZ_COMPRESSOR_H_
#define OVN8_KIT_LZ_COMPRESSOR_H_

#include <cstdint>
#include <string>

class LZCompressor {
 public:
  // Output chunk that inflate fills before it is written out.
  static const uint32_t kBufferSize = 0x8000;

  // Inflates the kit at `source` into `destination` (created, or replaced
  // whole). 0 on success, also for a stream that stops without its end
  // marker (everything up to the end of the input is kept); 13 for an empty
  // kit or corrupt data; the file layer's number when a file cannot be
  // opened or a write fails (a full disk fails the whole call).
  static uint32_t unpack(const std::u16string& source, const std::u16string& destination);

  // Kits are built by the vendor (see kit/kit_writer.h); this side only
  // reads them. Always 1, does nothing.
  static uint32_t pack(const std::u16string& source, const std::u16string& destination);
};

#endif  // OVN8_KIT_LZ_COMPRESSOR_H_
