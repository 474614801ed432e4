#include "memory/ob_stack.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace tarn {

ObStack::ObStack(BufferPool* pool)
    : m_pool(pool), m_blockBytes(pool->blockSize() & ~3u) {
  init();
}

ObStack::~ObStack() { destroy(); }

std::size_t ObStack::raiseSize(std::size_t size) {
  if (size == 0) return 4;  // a distinct piece, as malloc(0) gives
  if (size > std::numeric_limits<std::size_t>::max() - 3) throw std::bad_alloc();
  return (size + 3) & ~std::size_t(3);
}

void ObStack::init() {
  void** blocks = new void*[1]();
  void** large = nullptr;
  try {
    large = new void*[1]();
    blocks[0] = m_pool->alloc();
  } catch (...) {
    delete[] large;
    delete[] blocks;
    throw;
  }
  m_blocks = m_current = blocks;
  m_blocksEnd = blocks + 1;
  m_large = m_largeInsert = large;
  m_largeEnd = large + 1;
  m_remaining = m_blockBytes;
}

// A new array of twice the slots (one for an empty array), the old slots
// copied and the new half zeroed. The old array is released; on failure it
// is left as it was.
void** ObStack::grow(void** begin, void** end, void**& newEnd) {
  const std::size_t slots = end - begin;
  if (slots > std::numeric_limits<std::size_t>::max() / (2 * sizeof(void*))) {
    throw std::bad_alloc();
  }
  const std::size_t wanted = slots == 0 ? 1 : slots * 2;
  void** grown = new void*[wanted];
  if (slots != 0) std::memcpy(grown, begin, slots * sizeof(void*));
  std::memset(grown + slots, 0, (wanted - slots) * sizeof(void*));
  delete[] begin;
  newEnd = grown + wanted;
  return grown;
}

void* ObStack::alloc0(std::size_t size) {
  // Callers pass whole steps already; a direct call that does not must not
  // leave remaining off the 4-byte grid that the fast path relies on.
  size = raiseSize(size);
  if (size > m_blockBytes) return allocLarge(size);
  // Only a zero-byte request raised to 4 can still fit here.
  if (m_current != nullptr && size <= m_remaining) {
    void* piece = static_cast<char*>(*m_current) + (m_blockBytes - m_remaining);
    m_remaining -= size;
    return piece;
  }
  return allocBlock(size);
}

void* ObStack::allocLarge(std::size_t size) {
  if (m_largeInsert == m_largeEnd) {
    const std::size_t used = m_largeInsert - m_large;
    m_large = grow(m_large, m_largeEnd, m_largeEnd);
    m_largeInsert = m_large + used;
  }
  char* piece = new char[size];
  *m_largeInsert++ = piece;
  return piece;
}

// Moves on to the next block (kept from before a clear, or a new one). The
// rest of the previous block stays unused until the next clear. Nothing
// changes when no block can be had.
void* ObStack::allocBlock(std::size_t size) {
  const std::size_t next = m_current == nullptr ? 0 : (m_current - m_blocks) + 1;
  if (m_blocks + next == m_blocksEnd) {
    const std::size_t current = m_current - m_blocks;
    const bool hadCurrent = m_current != nullptr;
    m_blocks = grow(m_blocks, m_blocksEnd, m_blocksEnd);
    m_current = hadCurrent ? m_blocks + current : nullptr;
  }
  void** slot = m_blocks + next;
  if (*slot == nullptr) *slot = m_pool->alloc();
  m_current = slot;
  m_remaining = m_blockBytes - size;
  return *slot;
}

void ObStack::releaseLarge() {
  for (void** piece = m_large; piece != m_largeInsert; ++piece) {
    delete[] static_cast<char*>(*piece);
    *piece = nullptr;
  }
  m_largeInsert = m_large;
}

void ObStack::clear(bool release) {
  if (release) {
    destroy();
    init();
    return;
  }
  releaseLarge();
  if (m_blocks == nullptr) return;  // destroyed: the next alloc starts afresh
  m_current = m_blocks;
  m_remaining = m_blockBytes;
}

void ObStack::destroy() {
  for (void** slot = m_blocks; slot != m_blocksEnd; ++slot) {
    if (*slot != nullptr) m_pool->free(*slot);
  }
  delete[] m_blocks;
  releaseLarge();
  delete[] m_large;
  m_current = m_blocks = m_blocksEnd = nullptr;
  m_large = m_largeInsert = m_largeEnd = nullptr;
  // Zero, not a block's worth: no block is left to serve the fast path.
  m_remaining = 0;
}

std::size_t ObStack::blockCount() const {
  std::size_t count = 0;
  for (void** slot = m_blocks; slot != m_blocksEnd; ++slot) count += *slot != nullptr;
  return count;
}

}  // namespace tarn
