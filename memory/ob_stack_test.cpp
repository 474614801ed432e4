#include "memory/ob_stack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace tarn {
namespace {

std::uintptr_t address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

TEST(ObStack, PiecesComeUpwardInFourByteSteps) {
  BufferPool pool(8192);
  ObStack stack(&pool);
  EXPECT_EQ(stack.remaining(), 8192u);
  char* a = static_cast<char*>(stack.alloc(1));
  char* b = static_cast<char*>(stack.alloc(5));
  char* c = static_cast<char*>(stack.alloc(8));
  char* d = static_cast<char*>(stack.alloc(3));
  EXPECT_EQ(b - a, 4);
  EXPECT_EQ(c - b, 8);
  EXPECT_EQ(d - c, 8);
  EXPECT_EQ(stack.remaining(), 8192u - 4 - 8 - 8 - 4);
  EXPECT_EQ(address(a) % 4, 0u);
  // Zero bytes still give a distinct piece.
  char* e = static_cast<char*>(stack.alloc(0));
  EXPECT_EQ(e - d, 4);
  std::memset(a, 0x11, 1);
  std::memset(b, 0x22, 5);
  EXPECT_EQ(a[0], 0x11);
  EXPECT_EQ(b[4], 0x22);
}

TEST(ObStack, BlockSizeIsTheBoundaryBetweenPoolBlocksAndLargePieces) {
  BufferPool pool(8192);
  ObStack stack(&pool);
  const unsigned freeBefore = pool.freeCount();
  // A fresh block holds exactly one block-sized piece.
  void* whole = stack.alloc(8192);
  EXPECT_EQ(stack.remaining(), 0u);
  EXPECT_EQ(stack.largeCount(), 0u);
  // The next block-sized piece takes a new pool block.
  void* next = stack.alloc(8192);
  EXPECT_NE(next, whole);
  EXPECT_EQ(pool.freeCount(), freeBefore - 1);
  EXPECT_EQ(stack.blockCount(), 2u);
  // One byte more comes from operator new[] and leaves the block alone.
  void* large = stack.alloc(8193);
  EXPECT_EQ(stack.largeCount(), 1u);
  EXPECT_EQ(stack.blockCount(), 2u);
  EXPECT_EQ(stack.remaining(), 0u);
  std::memset(large, 0x5a, 8193);
  // A piece that does not fit the rest of the block starts a new block.
  stack.clear(false);
  stack.alloc(8000);
  char* fresh = static_cast<char*>(stack.alloc(400));
  EXPECT_EQ(stack.remaining(), 8192u - 400);
  EXPECT_EQ(fresh, next);  // the block kept from before the clear
}

TEST(ObStack, BothArraysGrowAndKeepTheirEntries) {
  BufferPool pool(8192);
  ObStack stack(&pool);
  std::vector<char*> blockStarts;
  for (int i = 0; i < 9; ++i) {
    char* start = static_cast<char*>(stack.alloc(8192));
    std::memset(start, i, 8192);
    blockStarts.push_back(start);
  }
  EXPECT_EQ(stack.blockCount(), 9u);
  EXPECT_EQ(stack.blockCapacity(), 16u);  // 1, 2, 4, 8, 16
  std::vector<char*> large;
  for (int i = 0; i < 5; ++i) {
    large.push_back(static_cast<char*>(stack.alloc(10000 + i)));
    std::memset(large.back(), 0x70 + i, 10000 + i);
  }
  EXPECT_EQ(stack.largeCount(), 5u);
  EXPECT_EQ(stack.largeCapacity(), 8u);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(blockStarts[i][0], i);
    EXPECT_EQ(blockStarts[i][8191], i);
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(large[i][9999], 0x70 + i);
}

TEST(ObStack, ClearWithoutReleaseReusesBlocksAndFreesLargePieces) {
  BufferPool pool(8192);
  ObStack stack(&pool);
  void* first = stack.alloc(16);
  for (int i = 0; i < 3; ++i) stack.alloc(8192);
  stack.alloc(20000);
  stack.alloc(30000);
  const unsigned freeBefore = pool.freeCount();
  stack.clear(false);
  EXPECT_EQ(stack.largeCount(), 0u);
  EXPECT_EQ(stack.largeCapacity(), 2u);
  EXPECT_EQ(stack.blockCount(), 4u);
  EXPECT_EQ(pool.freeCount(), freeBefore);
  EXPECT_EQ(stack.alloc(4), first);
  // Walking through the kept blocks takes nothing from the pool.
  for (int i = 0; i < 3; ++i) stack.alloc(8192);
  EXPECT_EQ(pool.freeCount(), freeBefore);

  stack.clear(true);
  EXPECT_EQ(stack.blockCount(), 1u);
  EXPECT_EQ(stack.blockCapacity(), 1u);
  EXPECT_EQ(pool.freeCount(), freeBefore + 3);
}

TEST(ObStack, DestroyLeavesAUsableEmptyStackAndGivesBlocksBack) {
  BufferPool pool(8192);
  {
    ObStack stack(&pool);
    stack.alloc(8192);
    stack.alloc(8192);
    stack.alloc(9000);
    stack.destroy();
    EXPECT_EQ(stack.blockCount(), 0u);
    EXPECT_EQ(stack.largeCount(), 0u);
    EXPECT_EQ(pool.freeCount(), pool.blocksPerChunk());
    stack.alloc(0);
    char* piece = static_cast<char*>(stack.alloc(100));
    std::memset(piece, 1, 100);
    EXPECT_EQ(stack.blockCount(), 1u);
    stack.alloc(9000);
    stack.clear(false);
    stack.destroy();
    stack.clear(false);
    stack.alloc(8);
  }
  EXPECT_EQ(pool.freeCount(), pool.blocksPerChunk());
}

TEST(ObStack, ImpossibleSizesThrowAndLeaveTheStackAlone) {
  BufferPool pool(8192);
  ObStack stack(&pool);
  char* before = static_cast<char*>(stack.alloc(8));
  const std::size_t remaining = stack.remaining();
  EXPECT_THROW(stack.alloc(std::numeric_limits<std::size_t>::max()), std::bad_alloc);
  EXPECT_THROW(stack.alloc(std::numeric_limits<std::size_t>::max() - 2), std::bad_alloc);
  EXPECT_EQ(stack.remaining(), remaining);
  EXPECT_EQ(stack.largeCount(), 0u);
  EXPECT_EQ(static_cast<char*>(stack.alloc(4)), before + 8);
  // A direct slow-path call with an odd size stays on the 4-byte grid.
  stack.alloc0(8190);
  EXPECT_EQ(stack.remaining(), 0u);
}

}  // namespace
}  // namespace tarn
