// Deterministic data for the benchmarks: the same bytes on every run.
#ifndef OVN8_BENCH_BENCH_RANDOM_H_
#define OVN8_BENCH_BENCH_RANDOM_H_

#include <cstdint>

// xorshift64*: fast and the same on every run.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }

 private:
  uint64_t state_;
};

#endif  // OVN8_BENCH_BENCH_RANDOM_H_
