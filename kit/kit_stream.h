// A kit read front to back, once: the head of the container (descriptions
// and entry table) first, then the data area in order. Nothing of the
// container is kept but what the caller takes, so a kit of any size opens
// at once and costs no more memory than the caller's buffers.
#ifndef OVN8_KIT_KIT_STREAM_H_
#define OVN8_KIT_KIT_STREAM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kit/inflater.h"
#include "kit/mapped_kit.h"

namespace config {

class KitStream {
 public:
  // The head is decoded this far at most; a larger entry table leaves the
  // kit to the whole-container reader.
  static const uint64_t kMaxHead = 32u << 20;

  KitStream() = default;
  KitStream(const KitStream&) = delete;
  KitStream& operator=(const KitStream&) = delete;

  // Maps the kit and decodes the container up to the end of its entry
  // table into `head`. 0 with the head; the file layer's number when the
  // kit cannot be opened (2 when it is missing); 13 when it cannot be read
  // so (corrupt, empty, a table that makes no sense or is too large): the
  // whole-container reader then says why.
  uint32_t openHead(const std::u16string& kitPath, StreamDecoder decoder, std::vector<uint8_t>& head);

  // Back to the start of the data area, decoding the kit again from its
  // start; false when the kit no longer gives the same head.
  bool rewind();

  // The next bytes of the data area, at most `capacity`. kFull while more
  // may follow, kEnded at the stream's end (a cut stream ends where its
  // input does), kBroken for corrupt data.
  StreamInflater::Step read(uint8_t* out, uint64_t capacity, uint64_t& produced);

 private:
  uint32_t decodeHead(std::vector<uint8_t>& head);

  MappedKit kit_;
  StreamDecoder decoder_ = StreamDecoder::kFastest;
  uint64_t dataStart_ = 0;
  std::unique_ptr<StreamInflater> inflater_;
  // Bytes decoded with the head that belong to the data area.
  std::vector<uint8_t> spill_;
  size_t spillTaken_ = 0;
  bool ended_ = false;
  StreamInflater::Step endStep_ = StreamInflater::kFull;
};

}  // namespace config

#endif  // OVN8_KIT_KIT_STREAM_H_
