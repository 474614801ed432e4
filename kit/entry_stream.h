// The entries of a kit taken from its data area in one pass, in table
// order, each checked against its CRC-32 as its bytes go by. Used when
// every entry lies behind the one before it (kits made by okdpack).
#ifndef OVN8_KIT_ENTRY_STREAM_H_
#define OVN8_KIT_ENTRY_STREAM_H_

#include <cstdint>
#include <functional>

#include "kit/data_pump.h"

namespace config {

// What went wrong with the kit's data while it was streamed.
enum class StreamFault {
  kNone,
  kCorrupt,   // the stream itself is corrupt
  kCut,       // the stream ended before the entry's last byte
  kChecksum,  // the entry's bytes differ from its CRC-32
};

class EntryStream {
 public:
  // Hands over one block of an entry's bytes; 0 or an error number.
  typedef std::function<uint32_t(const uint8_t* data, uint32_t size)> Consume;

  // `dataStart`: the container position of the data area's first byte.
  // The entries' `extents`, when given, are summed on the decoding thread;
  // an entry taken that is not among them is summed as it is handed over.
  EntryStream(KitStream& stream, uint64_t dataStart, uint64_t budget = DataPump::kDefaultBudget,
              uint64_t chunk = DataPump::kDefaultChunk, std::vector<EntryExtent> extents = {});
  EntryStream(const EntryStream&) = delete;
  EntryStream& operator=(const EntryStream&) = delete;

  // Passes the bytes up to the entry at container position `offset`, then
  // hands its `size` bytes to `consume` and checks them against `crc32`
  // (when `hasCrc32`). 13 with fault() set when the kit's data is damaged;
  // the consumer's error as it is.
  uint32_t take(uint64_t offset, uint32_t size, bool hasCrc32, uint32_t crc32, const Consume& consume);
  // Reads to the stream's end: 13 with fault() set when it is corrupt.
  uint32_t finish();

  StreamFault fault() const { return fault_; }
  uint64_t position() const { return position_; }
  uint64_t peakBufferBytes() const { return pump_.peakBufferBytes(); }

 private:
  // Makes sure unread bytes are at hand; false at the end of the stream.
  bool fill();
  uint32_t fail(StreamFault fault);
  // The index of the extent the decoding thread sums for these bytes, or
  // the number of extents when none.
  size_t summedExtent(uint64_t offset, uint32_t size, uint32_t crc32);

  DataPump pump_;
  size_t nextExtent_ = 0;  // the first of the pump's extents not yet passed
  DataChunk chunk_;
  uint64_t used_ = 0;  // bytes of chunk_ already passed on
  uint64_t position_;  // container position of the next unread byte
  StreamFault fault_ = StreamFault::kNone;
};

}  // namespace config

#endif  // OVN8_KIT_ENTRY_STREAM_H_
