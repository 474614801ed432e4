#include "kit/kit_stream.h"

#include <algorithm>
#include <cstring>

#include "kit/container_extent.h"
#include "platform/errors.h"

namespace config {

const uint64_t KitStream::kMaxHead;

namespace {

const uint64_t kHeadStep = 64u << 10;

}  // namespace

uint32_t KitStream::openHead(const std::u16string& kitPath, StreamDecoder decoder, std::vector<uint8_t>& head) {
  head.clear();
  const uint32_t mapped = mapKit(kitPath, kit_);
  if (mapped != ERROR_SUCCESS) return mapped;
  decoder_ = decoder;
  return decodeHead(head);
}

// The mapping stays: decoding again touches no file.
bool KitStream::rewind() {
  if (kit_.mapping == nullptr) return false;
  std::vector<uint8_t> head;
  const uint64_t dataStart = dataStart_;
  return decodeHead(head) == ERROR_SUCCESS && head.size() == dataStart;
}

uint32_t KitStream::decodeHead(std::vector<uint8_t>& head) {
  inflater_ = makeStreamInflater(kit_.mapping->data(), kit_.length, decoder_, true);
  if (!inflater_->ready()) return ERROR_INVALID_DATA;
  spill_.clear();
  spillTaken_ = 0;
  ended_ = false;
  uint64_t extent = 0;
  uint64_t tableEnd = 0;
  while (head.size() < kMaxHead) {
    const size_t had = head.size();
    // Each look walks the table from its start: steps growing with the head
    // keep a table of many entries from being walked over and over, and
    // inflate at most half the table's size beyond it.
    const uint64_t stepSize = std::min<uint64_t>(std::max<uint64_t>(kHeadStep, had / 2), kMaxHead - had);
    head.resize(had + stepSize);
    uint64_t produced = 0;
    const StreamInflater::Step step = inflater_->fill(head.data() + had, stepSize, produced);
    head.resize(had + produced);
    if (step == StreamInflater::kBroken) return ERROR_INVALID_DATA;
    const ExtentResult known = containerExtent(head.data(), head.size(), extent, &tableEnd);
    if (known == ExtentResult::kKnown) {
      spill_.assign(head.begin() + ptrdiff_t(tableEnd), head.end());
      head.resize(tableEnd);
      dataStart_ = tableEnd;
      ended_ = step == StreamInflater::kEnded;
      endStep_ = step;
      return ERROR_SUCCESS;
    }
    if (known == ExtentResult::kUnknown || step == StreamInflater::kEnded) return ERROR_INVALID_DATA;
  }
  return ERROR_INVALID_DATA;
}

StreamInflater::Step KitStream::read(uint8_t* out, uint64_t capacity, uint64_t& produced) {
  produced = 0;
  if (spillTaken_ < spill_.size()) {
    produced = std::min<uint64_t>(capacity, spill_.size() - spillTaken_);
    std::memcpy(out, spill_.data() + spillTaken_, produced);
    spillTaken_ += produced;
    if (produced == capacity) return StreamInflater::kFull;
  }
  if (ended_) return endStep_;
  uint64_t more = 0;
  const StreamInflater::Step step = inflater_->fill(out + produced, capacity - produced, more);
  produced += more;
  if (step != StreamInflater::kFull) {
    ended_ = true;
    endStep_ = step;
  }
  return step;
}

}  // namespace config
