#include "memory/buffer_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "memory/memory_manager.h"

namespace tarn {
namespace {

// A chunk of 4 MiB holds as many blocks as fit with their headers and not
// one more: every block of one chunk lies inside one 4 MiB region, blocks
// never overlap, and the room left over is less than one more block needs.
TEST(BufferPool, OneChunkHoldsAsManyBlocksAsFitAndNoMore) {
  const std::uintptr_t kChunkBytes = 4194304;
  for (unsigned size : {8192u, 16384u, 32768u}) {
    SCOPED_TRACE(size);
    BufferPool pool(size);
    std::vector<std::uintptr_t> payloads;
    for (unsigned i = 0; i < pool.blocksPerChunk(); ++i)
      payloads.push_back(reinterpret_cast<std::uintptr_t>(pool.alloc()));
    EXPECT_EQ(pool.chunkCount(), 1u);
    EXPECT_EQ(pool.freeCount(), 0u);
    std::sort(payloads.begin(), payloads.end());
    const std::uintptr_t stride = payloads[1] - payloads[0];
    EXPECT_GT(stride, size);  // room for the payload and a header
    for (size_t i = 1; i < payloads.size(); ++i) EXPECT_EQ(payloads[i] - payloads[i - 1], stride);
    // From the first block's header to the last payload's end, after the
    // chunk's own header: inside the region, with no room for one more.
    const std::uintptr_t used = payloads.back() + size - (payloads.front() - (stride - size));
    EXPECT_LE(used + sizeof(BufferPool::Chunk), kChunkBytes);
    EXPECT_GT(used + stride + sizeof(BufferPool::Chunk), kChunkBytes) << "another block would have fitted";
    void* next = pool.alloc();
    EXPECT_EQ(pool.chunkCount(), 2u);
    pool.free(next);
    for (std::uintptr_t payload : payloads) pool.free(reinterpret_cast<void*>(payload));
  }
  BufferPool* pools = buffer_pools();
  ASSERT_NE(pools, nullptr);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(pools[i].blocksPerChunk(), BufferPool::blocksPerChunkFor(pools[i].blockSize()));
}

void fill(void* block, unsigned size, std::uint32_t tag) {
  std::uint32_t* words = static_cast<std::uint32_t*>(block);
  for (unsigned i = 0; i < size / 4; ++i) words[i] = tag ^ i;
}

bool holds(const void* block, unsigned size, std::uint32_t tag) {
  const std::uint32_t* words = static_cast<const std::uint32_t*>(block);
  for (unsigned i = 0; i < size / 4; ++i) {
    if (words[i] != (tag ^ i)) return false;
  }
  return true;
}

TEST(BufferPool, BlocksKeepTheirDataAcrossChunksAndReuse) {
  BufferPool pool(16384);
  const unsigned count = pool.blocksPerChunk() + 40;  // spills into a second chunk
  std::vector<void*> blocks;
  for (unsigned i = 0; i < count; ++i) {
    blocks.push_back(pool.alloc());
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back()) % 16, 0u);
    fill(blocks.back(), pool.blockSize(), 0x9e3779b9u * (i + 1));
  }
  EXPECT_EQ(pool.chunkCount(), 2u);
  EXPECT_EQ(pool.freeCount(), 2 * pool.blocksPerChunk() - count);
  for (unsigned i = 0; i < count; i += 2) pool.free(blocks[i]);
  for (unsigned i = 0; i < count; i += 2) {
    blocks[i] = pool.alloc();
    fill(blocks[i], pool.blockSize(), 0x51ed270bu * (i + 1));
  }
  for (unsigned i = 0; i < count; ++i) {
    const std::uint32_t tag = (i % 2 == 0 ? 0x51ed270bu : 0x9e3779b9u) * (i + 1);
    ASSERT_TRUE(holds(blocks[i], pool.blockSize(), tag)) << "block " << i;
  }
  for (void* block : blocks) pool.free(block);
  pool.free(nullptr);
  EXPECT_EQ(pool.freeCount(), pool.chunkCount() * pool.blocksPerChunk());
}

TEST(BufferPool, EmptyChunkGoesBackOnlyWithTwoChunksOfFreeBlocks) {
  BufferPool pool(32768);
  const unsigned perChunk = pool.blocksPerChunk();
  // Two full chunks; a new chunk's blocks are used before an older one's.
  std::vector<void*> first, second;
  for (unsigned i = 0; i < perChunk; ++i) first.push_back(pool.alloc());
  for (unsigned i = 0; i < perChunk; ++i) second.push_back(pool.alloc());
  ASSERT_EQ(pool.chunkCount(), 2u);
  ASSERT_EQ(pool.freeCount(), 0u);

  // The first chunk keeps one block; the second empties with one block
  // fewer than twice the blocks per chunk free: it stays.
  for (unsigned i = 1; i < perChunk; ++i) pool.free(first[i]);
  for (void* block : second) pool.free(block);
  EXPECT_EQ(pool.freeCount(), 2 * perChunk - 1);
  EXPECT_EQ(pool.chunkCount(), 2u);

  // The last block makes the free count exactly twice: that chunk goes back.
  pool.free(first[0]);
  EXPECT_EQ(pool.chunkCount(), 1u);
  EXPECT_EQ(pool.freeCount(), perChunk);

  // The chunk left over serves the next blocks without growing.
  void* again = pool.alloc();
  EXPECT_EQ(pool.chunkCount(), 1u);
  pool.free(again);
}

TEST(BufferPool, FullChunkThatRegainsABlockIsPreferredByAddress) {
  BufferPool pool(32768);
  const unsigned perChunk = pool.blocksPerChunk();
  std::vector<void*> blocks;
  for (unsigned i = 0; i < 3 * perChunk; ++i) blocks.push_back(pool.alloc());
  ASSERT_EQ(pool.freeCount(), 0u);
  // Free one block in each chunk, highest address first; the next
  // allocation must come from the lowest chunk.
  std::vector<void*> one = {blocks[0], blocks[perChunk], blocks[2 * perChunk]};
  std::sort(one.begin(), one.end(), [](void* a, void* b) {
    return reinterpret_cast<std::uintptr_t>(a) > reinterpret_cast<std::uintptr_t>(b);
  });
  for (void* block : one) pool.free(block);
  for (int i = 2; i >= 0; --i) {
    EXPECT_EQ(pool.alloc(), one[i]);
  }
  for (void* block : blocks) pool.free(block);
}

TEST(BufferPool, ReportsBlocksToTheManagerStatistics) {
  if (std::getenv("n8_dont_use_memory_stat") != nullptr) GTEST_SKIP();
  BufferPool pool(8192);
  pool.free(pool.alloc());  // the chunk is there before counting starts
  memory_manager()->enableStatistics(true);
  MemoryStatistics before{0, 0}, during{0, 0}, after{0, 0};
  memory_manager()->getStatistics(before);
  void* block = pool.alloc();
  memory_manager()->getStatistics(during);
  pool.free(block);
  memory_manager()->getStatistics(after);
  memory_manager()->enableStatistics(false);
  EXPECT_EQ(during.count - before.count, 1);
  EXPECT_EQ(during.bytes - before.bytes, 8192);
  EXPECT_EQ(after.count, before.count);
  EXPECT_EQ(after.bytes, before.bytes);
}

// Each thread holds a few blocks at a time, stamped with its own tag, and
// checks the stamps before giving them back: a block handed out twice would
// be overwritten by the other thread (and is a data race under
// ThreadSanitizer); a lost update of the lists or counts shows at the end.
struct Hammer {
  BufferPool* pool;
  std::atomic<int>* ready;
  std::uint32_t tag;
  int rounds;
  bool intact = true;

  void run() {
    ready->fetch_add(1);
    while (ready->load() < 2) {
    }
    const unsigned lastWord = pool->blockSize() / 4 - 1;
    void* held[8];
    for (int round = 0; round < rounds; ++round) {
      const unsigned count = 1 + round % 8;
      for (unsigned i = 0; i < count; ++i) {
        held[i] = pool->alloc();
        std::uint32_t* words = static_cast<std::uint32_t*>(held[i]);
        words[0] = tag + i;
        words[lastWord] = ~(tag + i);
      }
      for (unsigned i = 0; i < count; ++i) {
        const std::uint32_t* words = static_cast<const std::uint32_t*>(held[i]);
        if (words[0] != tag + i || words[lastWord] != ~(tag + i)) intact = false;
        pool->free(held[i]);
      }
    }
  }
};

TEST(BufferPool, TwoThreadsNeitherLoseNorDoubleBlocks) {
  BufferPool pool(8192);
  std::atomic<int> ready{0};
  Hammer a{&pool, &ready, 0x10000000u, 100000};
  Hammer b{&pool, &ready, 0x20000000u, 100000};
  std::thread first(&Hammer::run, &a);
  std::thread second(&Hammer::run, &b);
  first.join();
  second.join();
  EXPECT_TRUE(a.intact);
  EXPECT_TRUE(b.intact);
  // Every block is free again and accounted for; at most the chunks that
  // both threads added at once when the pool was empty remain.
  const unsigned chunks = pool.chunkCount();
  EXPECT_EQ(pool.freeCount(), chunks * pool.blocksPerChunk());
  EXPECT_LE(chunks, 2u);
  std::vector<void*> all;
  for (unsigned i = 0; i < chunks * pool.blocksPerChunk(); ++i) all.push_back(pool.alloc());
  EXPECT_EQ(pool.chunkCount(), chunks);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::unique(all.begin(), all.end()), all.end());
  for (void* block : all) pool.free(block);
}

}  // namespace
}  // namespace tarn
