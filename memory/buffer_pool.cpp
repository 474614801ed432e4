#include "memory/buffer_pool.h"

#include <cstring>
#include <new>

#include "memory/memory_manager.h"

namespace tarn {

static_assert(sizeof(BufferPool::Chunk) == 48, "chunk header is six words");
static_assert(sizeof(BufferPool::Block) == 16, "block header is two words");

namespace {

inline BufferPool::Block* block_of(void* payload) {
  return reinterpret_cast<BufferPool::Block*>(static_cast<char*>(payload) - sizeof(BufferPool::Block));
}

inline void* payload_of(BufferPool::Block* block) { return block + 1; }

inline std::uintptr_t address(const BufferPool::Chunk* chunk) {
  return reinterpret_cast<std::uintptr_t>(chunk);
}

}  // namespace

BufferPool::BufferPool(unsigned blockSize)
    : m_blockSize(blockSize), m_blocksPerChunk(blocksPerChunkFor(blockSize)) {}

BufferPool::~BufferPool() {
  Chunk* chunk = m_chunks;
  while (chunk != nullptr) {
    Chunk* next = chunk->nextAll;
    freeChunk(chunk);
    chunk = next;
  }
}

void BufferPool::reportStatistics(std::int64_t count, std::int64_t bytes) {
  memory_manager()->addStatistics(MemoryStatistics{count, bytes});
}

void* BufferPool::alloc() {
  void* payload = poolAlloc();
  while (payload == nullptr) {
    alloc0();
    payload = poolAlloc();
  }
  reportStatistics(1, m_blockSize);
  return payload;
}

void* BufferPool::poolAlloc() {
  SpinLockGuard guard(m_lock);
  Chunk* chunk = m_freeChunks;
  if (chunk == nullptr) return nullptr;
  Block* block = chunk->freeBlocks;
  chunk->freeBlocks = block->nextFree;
  block->nextFree = nullptr;
  ++chunk->inUse;
  --m_freeCount;
  if (chunk->freeBlocks == nullptr) unlinkFreeChunk(chunk);
  return payload_of(block);
}

void BufferPool::alloc0() {
  Chunk* chunk = allocChunk();
  carveBlocks(chunk);
  SpinLockGuard guard(m_lock);
  chunk->nextAll = m_chunks;
  if (m_chunks != nullptr) m_chunks->prevAll = chunk;
  m_chunks = chunk;
  chunk->nextFree = m_freeChunks;
  if (m_freeChunks != nullptr) m_freeChunks->prevFree = chunk;
  m_freeChunks = chunk;
  m_freeCount += m_blocksPerChunk;
}

BufferPool::Chunk* BufferPool::allocChunk() {
  void* region = memory_manager()->heap()->alloc(kChunkSize);
  if (region == nullptr) throw std::bad_alloc();
  std::memset(region, 0, sizeof(Chunk));
  return static_cast<Chunk*>(region);
}

void BufferPool::freeChunk(Chunk* chunk) { memory_manager()->heap()->free(chunk); }

// Links exactly blocksPerChunk blocks in address order, so that the free
// count always matches what the chunks hold.
void BufferPool::carveBlocks(Chunk* chunk) {
  char* first = reinterpret_cast<char*>(chunk + 1);
  const std::size_t stride = m_blockSize + sizeof(Block);
  Block* previous = nullptr;
  for (std::uint32_t i = 0; i < m_blocksPerChunk; ++i) {
    Block* block = reinterpret_cast<Block*>(first + i * stride);
    block->owner = chunk;
    block->nextFree = nullptr;
    if (previous != nullptr) previous->nextFree = block;
    else chunk->freeBlocks = block;
    previous = block;
  }
}

// A chunk that regains a free block joins the list in address order, so that
// lower chunks are used first and higher ones can empty and go back.
void BufferPool::insertFreeChunk(Chunk* chunk) {
  Chunk* head = m_freeChunks;
  if (head == nullptr || address(chunk) <= address(head)) {
    chunk->prevFree = nullptr;
    chunk->nextFree = head;
    if (head != nullptr) head->prevFree = chunk;
    m_freeChunks = chunk;
    return;
  }
  Chunk* after = head;
  while (after->nextFree != nullptr && address(after->nextFree) < address(chunk)) {
    after = after->nextFree;
  }
  chunk->prevFree = after;
  chunk->nextFree = after->nextFree;
  if (after->nextFree != nullptr) after->nextFree->prevFree = chunk;
  after->nextFree = chunk;
}

void BufferPool::unlinkFreeChunk(Chunk* chunk) {
  if (chunk->prevFree != nullptr) chunk->prevFree->nextFree = chunk->nextFree;
  else m_freeChunks = chunk->nextFree;
  if (chunk->nextFree != nullptr) chunk->nextFree->prevFree = chunk->prevFree;
  chunk->prevFree = chunk->nextFree = nullptr;
}

void BufferPool::unlinkChunk(Chunk* chunk) {
  if (chunk->prevAll != nullptr) chunk->prevAll->nextAll = chunk->nextAll;
  else m_chunks = chunk->nextAll;
  if (chunk->nextAll != nullptr) chunk->nextAll->prevAll = chunk->prevAll;
  chunk->prevAll = chunk->nextAll = nullptr;
}

void BufferPool::free(void* payload) {
  if (payload == nullptr) return;
  Block* block = block_of(payload);
  {
    SpinLockGuard guard(m_lock);
    Chunk* chunk = block->owner;
    const bool wasFull = chunk->freeBlocks == nullptr;
    block->nextFree = chunk->freeBlocks;
    chunk->freeBlocks = block;
    --chunk->inUse;
    ++m_freeCount;
    if (wasFull) insertFreeChunk(chunk);
    // Give an empty chunk back only while a chunk's worth of free blocks
    // stays in reserve.
    if (chunk->inUse == 0 && m_freeCount >= 2 * m_blocksPerChunk) {
      m_freeCount -= m_blocksPerChunk;
      unlinkFreeChunk(chunk);
      unlinkChunk(chunk);
      freeChunk(chunk);
    }
  }
  reportStatistics(-1, -static_cast<std::int64_t>(m_blockSize));
}

unsigned BufferPool::freeCount() {
  SpinLockGuard guard(m_lock);
  return m_freeCount;
}

unsigned BufferPool::chunkCount() {
  SpinLockGuard guard(m_lock);
  unsigned count = 0;
  for (Chunk* chunk = m_chunks; chunk != nullptr; chunk = chunk->nextAll) ++count;
  return count;
}

}  // namespace tarn
