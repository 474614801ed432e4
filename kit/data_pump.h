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
  // bytes each.
  DataPump(KitStream& stream, uint64_t budget = kDefaultBudget, uint64_t chunk = kDefaultChunk);
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

 private:
  void decode();
  bool takeFreeBuffer(std::unique_ptr<uint8_t[]>& buffer);

  KitStream& stream_;
  const uint64_t chunk_;
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
