// Decodes a kit's data area on a thread of its own, into a bounded number
// of buffers that the consumer takes in order and hands back: decoding and
// writing overlap, and memory stays within the budget whatever the kit's
// size.
#ifndef OVN8_KIT_DATA_PUMP_H_
#define OVN8_KIT_DATA_PUMP_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kit/kit_stream.h"

namespace config {

// Where one entry's bytes lie in the container, and their CRC-32.
struct EntryExtent {
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t crc32 = 0;
};

// One buffer of decoded bytes, in stream order.
struct DataChunk {
  std::unique_ptr<uint8_t[]> bytes;
  uint64_t size = 0;
};

class DataPump {
 public:
  // Decoding stays ahead of writing by a few chunks at most; more buffers
  // only make the process larger.
  static const uint64_t kDefaultBudget = 16u << 20;
  static const uint64_t kDefaultChunk = 1u << 20;

  // At most `budget` bytes of buffers (at least one chunk) of `chunk`
  // bytes each. The decoding thread also sums the bytes of `extents` (in
  // container order, none overlapping, the first decoded byte at container
  // position `dataStart`), so that the thread writing the files need not.
  DataPump(KitStream& stream, uint64_t budget = kDefaultBudget, uint64_t chunk = kDefaultChunk,
           std::vector<EntryExtent> extents = {}, uint64_t dataStart = 0);
  // Stops the decoding thread wherever it is.
  ~DataPump();
  DataPump(const DataPump&) = delete;
  DataPump& operator=(const DataPump&) = delete;

  void start();
  // The next chunk; false at the end of the stream (then ended() tells
  // whether it ended sound).
  bool next(DataChunk& chunk);
  // Gives a chunk's buffer back for decoding.
  void recycle(DataChunk& chunk);
  // After next() returned false: true unless the stream was corrupt.
  bool endedSound() const;
  // The most buffer bytes that existed at once.
  uint64_t peakBufferBytes() const;

  enum class Verdict : uint8_t { kUnknown, kMatches, kDiffers };
  // Whether extent `index`'s bytes match its CRC-32: known once next() has
  // given the chunk holding its last byte.
  Verdict verdict(size_t index) const { return verdicts_[index]; }
  const std::vector<EntryExtent>& extents() const { return extents_; }

 private:
  void decode();
  // Sums the extents' bytes in a chunk that begins at `position_`.
  void check(const uint8_t* data, uint64_t size);
  bool takeFreeBuffer(std::unique_ptr<uint8_t[]>& buffer);

  KitStream& stream_;
  const uint64_t chunk_;
  const std::vector<EntryExtent> extents_;
  // Written by the decoding thread before the chunk that decides each is
  // handed over (under mutex_), read by the consumer after it took it.
  std::vector<Verdict> verdicts_;
  size_t checking_ = 0;    // the extent being summed
  uint32_t running_ = 0;   // its CRC-32 so far
  uint64_t position_;      // container position of the next decoded byte
  const size_t maxBuffers_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<DataChunk> ready_;
  std::vector<std::unique_ptr<uint8_t[]>> free_;
  size_t buffers_ = 0;
  size_t peakBuffers_ = 0;
  bool finished_ = false;
  bool sound_ = true;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace config

#endif  // OVN8_KIT_DATA_PUMP_H_
