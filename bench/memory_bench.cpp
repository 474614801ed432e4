// Block pool and obstack against the C library's malloc, measured in the same
// run: one and two threads. Each line pair ends in a ratio; above 1 means
// ours is faster.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_times.h"
#include "memory/buffer_pool.h"
#include "memory/memory_manager.h"
#include "memory/ob_stack.h"

namespace {

const std::size_t kBlockSize = 8192;
const int kBatch = 16;
const int kPieces = 1000;

tarn::BufferPool& pool() { return tarn::buffer_pools()[0]; }

// Size of the i-th small piece: 8 to 64 bytes.
inline std::size_t piece_size(int i) { return 8 + (i * 7) % 57; }

void PoolPair(benchmark::State& state) {
  for (auto _ : state) {
    void* block = pool().alloc();
    benchmark::DoNotOptimize(block);
    pool().free(block);
  }
}

void MallocPair(benchmark::State& state) {
  for (auto _ : state) {
    void* block = std::malloc(kBlockSize);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}

void PoolBatch(benchmark::State& state) {
  void* blocks[kBatch];
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) blocks[i] = pool().alloc();
    benchmark::DoNotOptimize(blocks);
    for (int i = 0; i < kBatch; ++i) pool().free(blocks[i]);
  }
}

void MallocBatch(benchmark::State& state) {
  void* blocks[kBatch];
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) blocks[i] = std::malloc(kBlockSize);
    benchmark::DoNotOptimize(blocks);
    for (int i = 0; i < kBatch; ++i) std::free(blocks[i]);
  }
}

// Many small pieces, then all of them released at once.
void ObStackPieces(benchmark::State& state) {
  tarn::ObStack stack(&pool());
  for (auto _ : state) {
    for (int i = 0; i < kPieces; ++i) benchmark::DoNotOptimize(stack.alloc(piece_size(i)));
    stack.clear(false);
  }
}

void MallocPieces(benchmark::State& state) {
  std::vector<void*> pieces(kPieces);
  for (auto _ : state) {
    for (int i = 0; i < kPieces; ++i) {
      pieces[i] = std::malloc(piece_size(i));
      benchmark::DoNotOptimize(pieces[i]);
    }
    for (int i = 0; i < kPieces; ++i) std::free(pieces[i]);
  }
}

BENCHMARK(PoolPair)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(MallocPair)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(PoolBatch)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(MallocBatch)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(ObStackPieces)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(MallocPieces)->Threads(1)->Threads(2)->UseRealTime();

void print_ratios(const TimesReporter& times) {
  const char* pairs[][2] = {{"MallocPair", "PoolPair"},
                            {"MallocBatch", "PoolBatch"},
                            {"MallocPieces", "ObStackPieces"}};
  std::printf("\nmalloc time / our time (above 1: ours is faster)\n");
  for (const auto& pair : pairs) {
    for (const char* threads : {"1", "2"}) {
      const std::string suffix = std::string("/real_time/threads:") + threads;
      const double peer = times.time(pair[0] + suffix);
      const double ours = times.time(pair[1] + suffix);
      if (peer <= 0 || ours <= 0) continue;
      std::printf("  %-14s vs %-13s threads %s: %.2f\n", pair[1], pair[0], threads, peer / ours);
    }
  }
}

}  // namespace

int main(int argc, char** argv) { return run_benchmarks(argc, argv, print_ratios); }
