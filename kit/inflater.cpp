#include "kit/inflater.h"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>
#if OVN8_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>

namespace config {
namespace {

// Both decoders count input in 32-bit units; larger mappings are fed in
// slices.
const uint64_t kMaxInputSlice = 1u << 30;
// Slices of a mapping whose pages are given back behind the decoder.
const uint64_t kReleasedInputSlice = 8u << 20;

// Hands out the mapped input a slice at a time and gives back the pages of
// the slices already consumed.
class InputSlices {
 public:
  InputSlices(const uint8_t* input, uint64_t size, bool releaseBehind)
      : input_(input), size_(size), slice_(releaseBehind ? kReleasedInputSlice : kMaxInputSlice),
        releaseBehind_(releaseBehind) {}

  bool usedUp() const { return fed_ == size_; }
  // The next slice; everything handed out before has been consumed.
  const uint8_t* next(uint32_t& length) {
    releaseConsumed();
    const uint64_t slice = std::min(size_ - fed_, slice_);
    const uint8_t* start = input_ + fed_;
    fed_ += slice;
    length = uint32_t(slice);
    return start;
  }

 private:
  void releaseConsumed() {
    if (!releaseBehind_) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t from = reinterpret_cast<uintptr_t>(input_ + released_);
    const uintptr_t to = reinterpret_cast<uintptr_t>(input_ + fed_) / page * page;
    if (to <= from) return;
    madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    released_ = to - reinterpret_cast<uintptr_t>(input_);
  }

  const uint8_t* input_;
  uint64_t size_;
  uint64_t slice_;
  bool releaseBehind_;
  uint64_t fed_ = 0;
  uint64_t released_ = 0;
};

class ZlibInflater : public StreamInflater {
 public:
  ZlibInflater(const uint8_t* input, uint64_t size, bool releaseBehind) : input_(input, size, releaseBehind) {
    ready_ = inflateInit2(&stream_, -15) == Z_OK;
  }
  ~ZlibInflater() override {
    if (ready_) inflateEnd(&stream_);
  }

  bool ready() const override { return ready_; }
  bool sawEndMarker() const override { return ended_; }

  Step fill(uint8_t* out, uint64_t capacity, uint64_t& produced) override {
    produced = 0;
    while (true) {
      if (stream_.avail_in == 0 && !input_.usedUp()) {
        uint32_t length = 0;
        stream_.next_in = const_cast<Bytef*>(input_.next(length));
        stream_.avail_in = length;
      }
      const uint64_t room = capacity - produced;
      if (room == 0) return kFull;
      const uInt given = uInt(std::min(room, kMaxInputSlice));
      stream_.next_out = out + produced;
      stream_.avail_out = given;
      const int code = inflate(&stream_, Z_NO_FLUSH);
      produced += given - stream_.avail_out;
      const bool inputUsedUp = stream_.avail_in == 0 && input_.usedUp();
      if (code == Z_STREAM_END) {
        ended_ = true;
        return kEnded;
      }
      if (code != Z_OK && code != Z_BUF_ERROR) return kBroken;
      if (inputUsedUp && stream_.avail_out > 0) return kEnded;
      if (code == Z_BUF_ERROR && !(stream_.avail_in == 0 && !input_.usedUp())) return kBroken;
    }
  }

 private:
  z_stream stream_ = z_stream();
  InputSlices input_;
  bool ready_ = false;
  bool ended_ = false;
};

#if OVN8_HAVE_ISAL
class IsalInflater : public StreamInflater {
 public:
  IsalInflater(const uint8_t* input, uint64_t size, bool releaseBehind)
      : input_(input, size, releaseBehind), state_(new inflate_state) {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;
  }

  bool ready() const override { return true; }
  bool sawEndMarker() const override { return state_->block_state == ISAL_BLOCK_FINISH; }

  Step fill(uint8_t* out, uint64_t capacity, uint64_t& produced) override {
    produced = 0;
    while (true) {
      if (sawEndMarker()) return kEnded;
      if (state_->avail_in == 0 && !input_.usedUp()) {
        uint32_t length = 0;
        state_->next_in = const_cast<uint8_t*>(input_.next(length));
        state_->avail_in = length;
      }
      const uint64_t room = capacity - produced;
      if (room == 0) return kFull;
      const uint32_t given = uint32_t(std::min(room, kMaxInputSlice));
      state_->next_out = out + produced;
      state_->avail_out = given;
      const int code = isal_inflate(state_.get());
      produced += given - state_->avail_out;
      if (code != ISAL_DECOMP_OK) return kBroken;
      if (sawEndMarker()) return kEnded;
      // Out of input before the end marker: a cut stream keeps what it gave.
      if (state_->avail_in == 0 && input_.usedUp() && state_->avail_out > 0) return kEnded;
    }
  }

 private:
  InputSlices input_;
  std::unique_ptr<inflate_state> state_;
};
#endif

}  // namespace

bool hasFastStreamDecoder() { return OVN8_HAVE_ISAL != 0; }

std::unique_ptr<StreamInflater> makeStreamInflater(const uint8_t* input, uint64_t size,
                                                   StreamDecoder decoder, bool releaseBehind) {
#if OVN8_HAVE_ISAL
  if (decoder == StreamDecoder::kFastest)
    return std::unique_ptr<StreamInflater>(new IsalInflater(input, size, releaseBehind));
#else
  (void)decoder;
#endif
  return std::unique_ptr<StreamInflater>(new ZlibInflater(input, size, releaseBehind));
}

}  // namespace config
