// A pool of fixed-size blocks carved from 4 MiB chunks of the manager's heap.
#ifndef OVN8_MEMORY_BUFFER_POOL_H_
#define OVN8_MEMORY_BUFFER_POOL_H_

#include <cstddef>
#include <cstdint>

#include "memory/spin_mutex.h"

namespace tarn {

class BufferPool {
 public:
  static const std::size_t kChunkSize = 4194304;

  // Chunk header, six 64-bit words; blocks follow it.
  struct Block;
  struct Chunk {
    Chunk* prevAll;
    Chunk* nextAll;
    Chunk* prevFree;  // in the list of chunks with free blocks
    Chunk* nextFree;
    Block* freeBlocks;
    std::uint64_t inUse;
  };
  // Block header, two 64-bit words; the payload follows it.
  struct Block {
    Chunk* owner;
    Block* nextFree;  // null while the block is in use
  };

  // Takes no memory yet.
  explicit BufferPool(unsigned blockSize);
  // Returns every chunk to the heap.
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A payload of blockSize() bytes; grows the pool by a chunk when needed.
  void* alloc();
  // Returns a payload; null is ignored.
  void free(void* payload);
  // A free block's payload, or null when the pool has none.
  void* poolAlloc();
  // Adds one chunk of free blocks.
  void alloc0();

  unsigned blockSize() const { return m_blockSize; }
  unsigned blocksPerChunk() const { return m_blocksPerChunk; }
  unsigned freeCount();
  unsigned chunkCount();

  static unsigned blocksPerChunkFor(unsigned blockSize) {
    return static_cast<unsigned>((kChunkSize - sizeof(Chunk)) / (blockSize + sizeof(Block)));
  }

 private:
  Chunk* allocChunk();
  void freeChunk(Chunk* chunk);
  void carveBlocks(Chunk* chunk);
  void insertFreeChunk(Chunk* chunk);
  void unlinkFreeChunk(Chunk* chunk);
  void unlinkChunk(Chunk* chunk);
  static void reportStatistics(std::int64_t count, std::int64_t bytes);

  SpinMutex m_lock;
  std::uint32_t m_blockSize;
  std::uint32_t m_blocksPerChunk;
  std::uint32_t m_freeCount = 0;
  Chunk* m_chunks = nullptr;
  Chunk* m_freeChunks = nullptr;
};

}  // namespace tarn

#endif  // OVN8_MEMORY_BUFFER_POOL_H_
