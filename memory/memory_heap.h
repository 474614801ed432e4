// Heaps and managers behind the process-wide memory manager: a plain heap
// and one that keeps statistics, calls hooks and an out-of-memory handler.
// Both are templates over an allocation policy of static operations.
#ifndef OVN8_MEMORY_MEMORY_HEAP_H_
#define OVN8_MEMORY_MEMORY_HEAP_H_

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tarn {

struct MemoryStatistics {
  std::int64_t count;  // live allocations
  std::int64_t bytes;  // sum of their usable sizes
};

typedef bool (*AllocationHook)(std::size_t usable_size);  // false refuses
typedef void (*ReleaseHook)(std::size_t usable_size);
typedef void (*OutOfMemoryHandler)();

class IMemoryHeap {
 public:
  virtual ~IMemoryHeap() {}
  // A block of at least size bytes, or null.
  virtual void* alloc(std::size_t size) = 0;
  // Releases a block; null is ignored.
  virtual void free(void* pointer) = 0;
  virtual std::size_t usableSize(void* pointer) = 0;
  virtual void maintain() = 0;
  // The number of bytes a request of size bytes really obtains.
  virtual std::size_t goodSize(std::size_t size) = 0;
};

class IMemoryManager {
 public:
  virtual ~IMemoryManager() {}
  virtual IMemoryHeap* heap() = 0;
  virtual void enableStatistics(bool enable) = 0;
  virtual void getStatistics(MemoryStatistics& statistics) = 0;
  // The record may hold negative values.
  virtual void addStatistics(const MemoryStatistics& statistics) = 0;
  virtual void setHooks(AllocationHook allocation, ReleaseHook release) = 0;
  virtual void setOutOfMemoryHandler(OutOfMemoryHandler handler) = 0;
};

// The C library's allocator.
struct JEMalloc {
  static void* malloc(std::size_t size) { return std::malloc(size); }
  static void free(void* pointer) { std::free(pointer); }
  static std::size_t usableSize(void* pointer) { return ::malloc_usable_size(pointer); }
};

template <class Policy>
class MemoryHeap : public IMemoryHeap {
 public:
  void* alloc(std::size_t size) override { return Policy::malloc(size); }
  void free(void* pointer) override {
    if (pointer != nullptr) Policy::free(pointer);
  }
  std::size_t usableSize(void* pointer) override { return Policy::usableSize(pointer); }
  void maintain() override {}
  std::size_t goodSize(std::size_t size) override { return size; }
};

template <class Policy>
class StatMemoryHeap : public IMemoryHeap {
 public:
  void* alloc(std::size_t size) override {
    void* block = Policy::malloc(size);
    if (block == nullptr) {
      OutOfMemoryHandler handler = m_outOfMemory.load(std::memory_order_acquire);
      if (handler == nullptr) return nullptr;
      handler();
      block = Policy::malloc(size);
      if (block == nullptr) return nullptr;
    }
    const bool counting = statisticsEnabled();
    AllocationHook hook = m_allocationHook.load(std::memory_order_acquire);
    if (!counting && hook == nullptr) return block;
    const std::size_t usable = Policy::usableSize(block);
    if (hook != nullptr && !hook(usable)) {
      Policy::free(block);
      return nullptr;
    }
    if (counting) add(1, static_cast<std::int64_t>(usable));
    return block;
  }

  void free(void* pointer) override {
    if (pointer == nullptr) return;
    const bool counting = statisticsEnabled();
    ReleaseHook hook = m_releaseHook.load(std::memory_order_acquire);
    const std::size_t usable = (counting || hook != nullptr) ? Policy::usableSize(pointer) : 0;
    Policy::free(pointer);
    if (counting) add(-1, -static_cast<std::int64_t>(usable));
    if (hook != nullptr) hook(usable);
  }

  std::size_t usableSize(void* pointer) override { return Policy::usableSize(pointer); }
  void maintain() override {}
  std::size_t goodSize(std::size_t size) override { return size; }

  bool statisticsEnabled() const { return m_statistics.load(std::memory_order_relaxed); }
  void enableStatistics(bool enable) { m_statistics.store(enable, std::memory_order_relaxed); }

  // Counters are read without synchronising the two with each other.
  void getStatistics(MemoryStatistics& statistics) const {
    statistics.count = m_count.load(std::memory_order_relaxed);
    statistics.bytes = m_bytes.load(std::memory_order_relaxed);
  }
  void addStatistics(const MemoryStatistics& statistics) {
    if (statisticsEnabled()) add(statistics.count, statistics.bytes);
  }
  void setHooks(AllocationHook allocation, ReleaseHook release) {
    m_allocationHook.store(allocation, std::memory_order_release);
    m_releaseHook.store(release, std::memory_order_release);
  }
  void setOutOfMemoryHandler(OutOfMemoryHandler handler) {
    m_outOfMemory.store(handler, std::memory_order_release);
  }

 private:
  void add(std::int64_t count, std::int64_t bytes) {
    m_count.fetch_add(count, std::memory_order_relaxed);
    m_bytes.fetch_add(bytes, std::memory_order_relaxed);
  }

  std::atomic<bool> m_statistics{false};
  std::atomic<std::int64_t> m_count{0};
  std::atomic<std::int64_t> m_bytes{0};
  std::atomic<AllocationHook> m_allocationHook{nullptr};
  std::atomic<ReleaseHook> m_releaseHook{nullptr};
  std::atomic<OutOfMemoryHandler> m_outOfMemory{nullptr};
};

template <class Heap>
class MemoryManager;

// Without statistics: the switches do nothing and the counters read zero.
template <class Policy>
class MemoryManager<MemoryHeap<Policy> > : public IMemoryManager {
 public:
  IMemoryHeap* heap() override { return &m_heap; }
  void enableStatistics(bool) override {}
  void getStatistics(MemoryStatistics& statistics) override { statistics = MemoryStatistics{0, 0}; }
  void addStatistics(const MemoryStatistics&) override {}
  void setHooks(AllocationHook, ReleaseHook) override {}
  void setOutOfMemoryHandler(OutOfMemoryHandler) override {}

 private:
  MemoryHeap<Policy> m_heap;
};

template <class Policy>
class MemoryManager<StatMemoryHeap<Policy> > : public IMemoryManager {
 public:
  IMemoryHeap* heap() override { return &m_heap; }
  void enableStatistics(bool enable) override { m_heap.enableStatistics(enable); }
  void getStatistics(MemoryStatistics& statistics) override { m_heap.getStatistics(statistics); }
  void addStatistics(const MemoryStatistics& statistics) override { m_heap.addStatistics(statistics); }
  void setHooks(AllocationHook allocation, ReleaseHook release) override {
    m_heap.setHooks(allocation, release);
  }
  void setOutOfMemoryHandler(OutOfMemoryHandler handler) override {
    m_heap.setOutOfMemoryHandler(handler);
  }

 private:
  StatMemoryHeap<Policy> m_heap;
};

}  // namespace tarn

#endif  // OVN8_MEMORY_MEMORY_HEAP_H_
