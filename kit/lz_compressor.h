// Decompression policy of the kit reader: a kit is one raw DEFLATE stream
// (no zlib or gzip header, no trailer, no checksum).
#ifndef OVN8_KIT_LZ_COMPRESSOR_H_
#define OVN8_KIT_LZ_COMPRESSOR_H_

#include <cstdint>
#include <memory>
#include <string>

// Which decoder unpacks a container kept in memory. kFastest is the
// whole-buffer decoder, with zlib taking over for every stream it does not
// decode whole (a cut stream is accepted by zlib, with what it gave).
enum class Inflater { kFastest, kZlib };

// Gives the pages of a container in memory back to the system (`mapped`
// bytes of them; 0: a heap block, as in the sanitizer builds).
struct ContainerPages {
  size_t mapped = 0;
  void operator()(uint8_t* bytes) const;
};

// An unpacked container held in memory, in pages of its own.
struct UnpackedContainer {
  std::unique_ptr<uint8_t[], ContainerPages> bytes;
  uint64_t size = 0;
};

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

  // Inflates the kit into memory when its container needs at most `limit`
  // bytes. Sets `fits` and fills `container` on success; `fits` false (and
  // 0) when the container is larger or its size cannot be told from its
  // header, so that the caller unpacks into a file instead. Errors as
  // unpack().
  static uint32_t unpackToMemory(const std::u16string& source, uint64_t limit, Inflater inflater,
                                 UnpackedContainer& container, bool& fits);

  // The most a container may take in memory: a quarter of the memory the
  // system reports available, so that the installation, the file cache and
  // the rest of the desktop keep room. 0 when nothing is reported.
  static uint64_t memoryLimit();

  // Kits are built by the vendor (see kit/kit_writer.h); this side only
  // reads them. Always 1, does nothing.
  static uint32_t pack(const std::u16string& source, const std::u16string& destination);
};

#endif  // OVN8_KIT_LZ_COMPRESSOR_H_
