#include "kit/entry_stream.h"

#include <libdeflate.h>

#include <algorithm>

#include "platform/errors.h"

namespace config {

EntryStream::EntryStream(KitStream& stream, uint64_t dataStart, uint64_t budget, uint64_t chunk,
                         std::vector<EntryExtent> extents)
    : pump_(stream, budget, chunk, std::move(extents), dataStart), position_(dataStart) {
  pump_.start();
}

size_t EntryStream::summedExtent(uint64_t offset, uint32_t size, uint32_t crc32) {
  const std::vector<EntryExtent>& extents = pump_.extents();
  while (nextExtent_ < extents.size() && extents[nextExtent_].offset < offset) ++nextExtent_;
  if (nextExtent_ < extents.size() && extents[nextExtent_].offset == offset && extents[nextExtent_].size == size &&
      extents[nextExtent_].crc32 == crc32)
    return nextExtent_;
  return extents.size();
}

bool EntryStream::fill() {
  if (chunk_.bytes != nullptr && used_ < chunk_.size) return true;
  pump_.recycle(chunk_);
  used_ = 0;
  return pump_.next(chunk_);
}

uint32_t EntryStream::fail(StreamFault fault) {
  if (fault_ == StreamFault::kNone) fault_ = fault;
  return ERROR_INVALID_DATA;
}

uint32_t EntryStream::take(uint64_t offset, uint32_t size, bool hasCrc32, uint32_t crc32,
                           const Consume& consume) {
  if (fault_ != StreamFault::kNone) return ERROR_INVALID_DATA;
  // Entries lie in table order; one that would begin behind what has been
  // read cannot be streamed.
  if (size > 0 && offset < position_) return ERROR_INVALID_PARAMETER;
  const uint64_t end = size > 0 ? offset + size : position_;
  const size_t unsummed = pump_.extents().size();
  const size_t summed = hasCrc32 && size > 0 ? summedExtent(offset, size, crc32) : unsummed;
  const bool sumHere = hasCrc32 && summed == unsummed;
  uint32_t crc = 0;
  while (position_ < end) {
    if (!fill()) return fail(pump_.endedSound() ? StreamFault::kCut : StreamFault::kCorrupt);
    const uint64_t available = chunk_.size - used_;
    if (position_ < offset) {
      const uint64_t skipped = std::min(available, offset - position_);
      used_ += skipped;
      position_ += skipped;
      continue;
    }
    const uint32_t piece = uint32_t(std::min(available, end - position_));
    const uint8_t* data = chunk_.bytes.get() + used_;
    if (sumHere) crc = libdeflate_crc32(crc, data, piece);
    const uint32_t result = consume(data, piece);
    if (result != ERROR_SUCCESS) return result;
    used_ += piece;
    position_ += piece;
  }
  if (sumHere && crc != crc32) return fail(StreamFault::kChecksum);
  // The chunk holding the entry's last byte has been taken: its sum is known.
  if (!sumHere && hasCrc32 && pump_.verdict(summed) != DataPump::Verdict::kMatches)
    return fail(StreamFault::kChecksum);
  return ERROR_SUCCESS;
}

uint32_t EntryStream::finish() {
  if (fault_ != StreamFault::kNone) return ERROR_INVALID_DATA;
  while (fill()) {
    position_ += chunk_.size - used_;
    used_ = chunk_.size;
  }
  return pump_.endedSound() ? uint32_t(ERROR_SUCCESS) : fail(StreamFault::kCorrupt);
}

}  // namespace config
