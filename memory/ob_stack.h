// An obstack: small pieces handed out upward from pool blocks with a bump
// pointer, released all at once by clear. One thread at a time.
#ifndef OVN8_MEMORY_OB_STACK_H_
#define OVN8_MEMORY_OB_STACK_H_

#include <cstddef>

#include "memory/buffer_pool.h"

namespace tarn {

class ObStack {
 public:
  explicit ObStack(BufferPool* pool);
  ~ObStack();
  ObStack(const ObStack&) = delete;
  ObStack& operator=(const ObStack&) = delete;

  // A piece of at least size bytes, in steps of 4 bytes. Pieces larger than
  // a pool block come from operator new[] and live until the next clear.
  void* alloc(std::size_t size) {
    // One comparison: size - 1 < remaining holds for 1 <= size <= remaining,
    // and remaining is a multiple of 4, so the raised size fits as well.
    if (size - 1 < m_remaining) {
      const std::size_t raised = (size + 3) & ~std::size_t(3);
      void* piece = static_cast<char*>(*m_current) + (m_blockBytes - m_remaining);
      m_remaining -= raised;
      return piece;
    }
    return alloc0(raiseSize(size));
  }
  // The slow path of alloc; size is a multiple of 4.
  void* alloc0(std::size_t size);
  // With release, gives every block back to the pool and starts afresh;
  // without, keeps the blocks for reuse and frees only the large pieces.
  void clear(bool release);
  void init();
  // Gives everything back; the obstack is empty but still usable.
  void destroy();

  BufferPool* pool() const { return m_pool; }
  std::size_t remaining() const { return m_remaining; }
  std::size_t blockCapacity() const { return m_blocksEnd - m_blocks; }
  std::size_t blockCount() const;
  std::size_t largeCount() const { return m_largeInsert - m_large; }
  std::size_t largeCapacity() const { return m_largeEnd - m_large; }

 private:
  static std::size_t raiseSize(std::size_t size);
  static void** grow(void** begin, void** end, void**& newEnd);
  void* allocLarge(std::size_t size);
  void* allocBlock(std::size_t size);
  void releaseLarge();

  BufferPool* m_pool;
  std::size_t m_blockBytes;  // the pool's block size, in whole 4-byte steps
  std::size_t m_remaining = 0;
  void** m_current = nullptr;
  void** m_blocks = nullptr;
  void** m_blocksEnd = nullptr;
  void** m_largeInsert = nullptr;
  void** m_large = nullptr;
  void** m_largeEnd = nullptr;
};

}  // namespace tarn

#endif  // OVN8_MEMORY_OB_STACK_H_
