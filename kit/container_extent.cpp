#include "kit/container_extent.h"

#include <algorithm>

#include "kit/install_data.h"

namespace config {

namespace {

// Walks the header fields; every step fails when the bytes run out.
class Walker {
 public:
  Walker(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool u32(uint32_t& value) {
    if (size_ - at_ < 4) return false;
    const uint8_t* p = data_ + at_;
    value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    at_ += 4;
    return true;
  }
  bool skip(uint64_t bytes) {
    if (bytes > size_ - at_) return false;
    at_ += size_t(bytes);
    return true;
  }
  bool skipString() {
    uint32_t count = 0;
    return u32(count) && skip(uint64_t(count) * 2);
  }
  size_t at() const { return at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

ExtentResult containerExtent(const uint8_t* data, size_t size, uint64_t& extent) {
  Walker walk(data, size);
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
      if (!walk.skip(recordSize - 4)) return ExtentResult::kNeedMore;
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
    const size_t recordEnd = walk.at() + (recordSize - 4);
    uint32_t nameLength = 0, timeLow = 0, timeHigh = 0, offset = 0, bytes = 0;
    if (!walk.u32(nameLength)) return ExtentResult::kNeedMore;
    if (4 + 4 + uint64_t(nameLength) * 2 + 16 > recordSize) return ExtentResult::kUnknown;
    if (!walk.skip(uint64_t(nameLength) * 2) || !walk.u32(timeLow) || !walk.u32(timeHigh) ||
        !walk.u32(offset) || !walk.u32(bytes) || !walk.skip(recordEnd - walk.at()))
      return ExtentResult::kNeedMore;
    // An empty entry reads nothing, wherever it points.
    if (bytes > 0) farthest = std::max(farthest, uint64_t(offset) + bytes);
  }
  extent = walk.at() + farthest;
  return ExtentResult::kKnown;
}

}  // namespace config
