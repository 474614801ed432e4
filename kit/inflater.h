// Streaming DEFLATE decoders over a kit mapped in memory: the raw stream is
// decoded front to back into caller buffers, whatever its size. ISA-L's
// igzip is used when the build found it (it decodes about twice as fast as
// zlib); zlib's inflate otherwise, and for kits zlib must read (see
// kit/lz_compressor.h).
#ifndef OVN8_KIT_INFLATER_H_
#define OVN8_KIT_INFLATER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace config {

class StreamInflater {
 public:
  enum Step {
    kEnded,   // the end marker, or the input used up (a cut stream keeps what it gave)
    kFull,    // the buffer is full and more may follow
    kBroken,  // corrupt data, exhausted memory, or a stream that stalls with input left
  };

  virtual ~StreamInflater() = default;
  // False when the decoder could not be set up.
  virtual bool ready() const = 0;
  // Decodes into `out` until it holds `capacity` bytes or the stream ends;
  // `produced` tells how many it holds.
  virtual Step fill(uint8_t* out, uint64_t capacity, uint64_t& produced) = 0;
  // True once the stream's end marker has been decoded (false after a cut).
  virtual bool sawEndMarker() const = 0;
};

enum class StreamDecoder { kFastest, kZlib };

// A decoder of the `size` bytes at `input`. `releaseBehind`: `input` is a
// private file mapping whose pages may be given back once decoded (a large
// kit then never stays resident as a whole).
std::unique_ptr<StreamInflater> makeStreamInflater(const uint8_t* input, uint64_t size,
                                                   StreamDecoder decoder, bool releaseBehind);

// True when the fast streaming decoder was built in.
bool hasFastStreamDecoder();

}  // namespace config

#endif  // OVN8_KIT_INFLATER_H_
