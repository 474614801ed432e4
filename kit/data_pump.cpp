#include "kit/data_pump.h"

#include <libdeflate.h>

#include <algorithm>

namespace config {

const uint64_t DataPump::kDefaultBudget;
const uint64_t DataPump::kDefaultChunk;

DataPump::DataPump(KitStream& stream, uint64_t budget, uint64_t chunk, std::vector<EntryExtent> extents,
                   uint64_t dataStart)
    : stream_(stream),
      chunk_(chunk),
      extents_(std::move(extents)),
      verdicts_(extents_.size(), Verdict::kUnknown),
      position_(dataStart),
      maxBuffers_(size_t(std::max<uint64_t>(1, budget / chunk))) {}

DataPump::~DataPump() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DataPump::start() {
  if (!thread_.joinable()) thread_ = std::thread(&DataPump::decode, this);
}

// Waits for a buffer handed back, or makes one while the budget allows.
bool DataPump::takeFreeBuffer(std::unique_ptr<uint8_t[]>& buffer) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stopping_ || !free_.empty() || buffers_ < maxBuffers_; });
  if (stopping_) return false;
  if (!free_.empty()) {
    buffer = std::move(free_.back());
    free_.pop_back();
    return true;
  }
  ++buffers_;
  peakBuffers_ = std::max(peakBuffers_, buffers_);
  lock.unlock();
  buffer.reset(new uint8_t[chunk_]);
  return true;
}

void DataPump::decode() {
  StreamInflater::Step step = StreamInflater::kFull;
  while (step == StreamInflater::kFull) {
    DataChunk chunk;
    if (!takeFreeBuffer(chunk.bytes)) return;
    step = stream_.read(chunk.bytes.get(), chunk_, chunk.size);
    check(chunk.bytes.get(), chunk.size);
    std::lock_guard<std::mutex> lock(mutex_);
    if (chunk.size > 0)
      ready_.push_back(std::move(chunk));
    else
      free_.push_back(std::move(chunk.bytes));
    if (step != StreamInflater::kFull) {
      finished_ = true;
      sound_ = step == StreamInflater::kEnded;
    }
    changed_.notify_all();
  }
}

void DataPump::check(const uint8_t* data, uint64_t size) {
  const uint64_t start = position_, end = start + size;
  position_ = end;
  for (; checking_ < extents_.size(); ++checking_) {
    const EntryExtent& extent = extents_[checking_];
    const uint64_t extentEnd = extent.offset + extent.size;
    if (extent.offset >= end) return;
    const uint64_t from = std::max(extent.offset, start), to = std::min(extentEnd, end);
    if (from < to) running_ = libdeflate_crc32(running_, data + (from - start), size_t(to - from));
    if (extentEnd > end) return;  // goes on in the next chunk
    verdicts_[checking_] = running_ == extent.crc32 ? Verdict::kMatches : Verdict::kDiffers;
    running_ = 0;
  }
}

bool DataPump::next(DataChunk& chunk) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
  if (ready_.empty()) return false;
  chunk = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

void DataPump::recycle(DataChunk& chunk) {
  if (chunk.bytes == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(chunk.bytes));
  }
  chunk.size = 0;
  changed_.notify_all();
}

bool DataPump::endedSound() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sound_;
}

uint64_t DataPump::peakBufferBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uint64_t(peakBuffers_) * chunk_;
}

}  // namespace config
