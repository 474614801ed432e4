#include "kit/container_extent.h"

#include <algorithm>

#include "kit/install_data.h"
#include "platform/byte_codec.h"

namespace config {

ExtentResult containerExtent(const uint8_t* data, size_t size, uint64_t& extent, uint64_t* tableEnd) {
  ByteReader walk(data, size);
  uint32_t marker = 0;
  if (!walk.u32(marker)) return ExtentResult::kNeedMore;
  if (marker == 0) {
    if (!walk.skipString() || !walk.skipString() || !walk.skipString()) return ExtentResult::kNeedMore;
  } else {
    uint32_t count = 0;
    if (!walk.u32(count)) return ExtentResult::kNeedMore;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t recordSize = 0;
      if (!walk.u32(recordSize)) return ExtentResult::kNeedMore;
      if (recordSize < kMinDescriptionRecordSize) return ExtentResult::kUnknown;
      if (!walk.skipBytes(recordSize - 4)) return ExtentResult::kNeedMore;
    }
  }
  uint32_t count = 0;
  if (!walk.u32(count)) return ExtentResult::kNeedMore;
  // Offsets count from the data area, which starts after the whole table:
  // keep them until its end is known.
  uint64_t farthest = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t recordSize = 0;
    if (!walk.u32(recordSize)) return ExtentResult::kNeedMore;
    if (recordSize < kMinEntryRecordSize) return ExtentResult::kUnknown;
    const size_t recordEnd = walk.consumed() + (recordSize - 4);
    uint32_t nameLength = 0, timeLow = 0, timeHigh = 0, offset = 0, bytes = 0;
    if (!walk.u32(nameLength)) return ExtentResult::kNeedMore;
    if (4 + 4 + uint64_t(nameLength) * 2 + 16 > recordSize) return ExtentResult::kUnknown;
    if (!walk.skipBytes(uint64_t(nameLength) * 2) || !walk.u32(timeLow) || !walk.u32(timeHigh) ||
        !walk.u32(offset) || !walk.u32(bytes) || !walk.skipBytes(recordEnd - walk.consumed()))
      return ExtentResult::kNeedMore;
    // An empty entry reads nothing, wherever it points.
    if (bytes > 0) farthest = std::max(farthest, uint64_t(offset) + bytes);
  }
  if (tableEnd != nullptr) *tableEnd = walk.consumed();
  extent = walk.consumed() + farthest;
  return ExtentResult::kKnown;
}

}  // namespace config
