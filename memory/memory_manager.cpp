#include "memory/memory_manager.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "memory/buffer_pool.h"

namespace tarn {
namespace {

// Set once, before a second thread exists, and never released.
IMemoryManager* g_manager = nullptr;
IMemoryHeap* g_heap = nullptr;
BufferPool* g_pools = nullptr;

const unsigned kPoolBlockSizes[3] = {8192, 16384, 32768};

// Nothing can be allocated without the manager: stop at once.
[[noreturn]] void no_memory_at_start() {
  static const char message[] = "out of memory while creating the memory manager\n";
  ssize_t written = ::write(2, message, sizeof(message) - 1);
  (void)written;
  std::abort();
}

// The manager's own memory comes from malloc, never from the manager.
template <class Manager>
IMemoryManager* construct_manager() {
  void* memory = std::malloc(sizeof(Manager));
  if (memory == nullptr) no_memory_at_start();
  return ::new (memory) Manager();
}

BufferPool* construct_pools() {
  void* memory = std::malloc(sizeof(BufferPool) * 3);
  if (memory == nullptr) no_memory_at_start();
  std::memset(memory, 0, sizeof(BufferPool) * 3);
  BufferPool* pools = static_cast<BufferPool*>(memory);
  for (int i = 0; i < 3; ++i) ::new (&pools[i]) BufferPool(kPoolBlockSizes[i]);
  return pools;
}

inline IMemoryHeap* heap() {
  if (g_heap == nullptr) create_memory_manager();
  return g_heap;
}

// The first step of static initialisation. The language table, built at the
// same priority, calls create_memory_manager itself first, so the order does
// not depend on the link order.
struct CreateAtStart {
  CreateAtStart() { create_memory_manager(); }
};
CreateAtStart g_create_at_start __attribute__((init_priority(101)));

}  // namespace

IMemoryManager* memory_manager() {
  if (g_manager == nullptr) create_memory_manager();
  return g_manager;
}

BufferPool* buffer_pools() { return g_pools; }

namespace details {

void* alloc(std::size_t size) {
  void* block = heap()->alloc(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* alloc_nothrow(std::size_t size) noexcept { return heap()->alloc(size); }

void free(void* pointer) noexcept { heap()->free(pointer); }

}  // namespace details
}  // namespace tarn

extern "C" void create_memory_manager() {
  using namespace tarn;
  if (g_manager != nullptr) return;
  IMemoryManager* manager = std::getenv("n8_dont_use_memory_stat") != nullptr
                                ? construct_manager<MemoryManager<MemoryHeap<JEMalloc> > >()
                                : construct_manager<MemoryManager<StatMemoryHeap<JEMalloc> > >();
  g_manager = manager;
  g_heap = manager->heap();
  g_pools = construct_pools();
}

// The targets of the linker's wrapping of the global allocation operators
// (set up in memory/CMakeLists.txt): single object and array, allocation,
// release and sized release.
extern "C" {
void* __wrap__Znwm(std::size_t size) { return tarn::details::alloc(size); }
void* __wrap__Znam(std::size_t size) { return tarn::details::alloc(size); }
void __wrap__ZdlPv(void* pointer) noexcept { tarn::details::free(pointer); }
void __wrap__ZdaPv(void* pointer) noexcept { tarn::details::free(pointer); }
void __wrap__ZdlPvm(void* pointer, std::size_t) noexcept { tarn::details::free(pointer); }
void __wrap__ZdaPvm(void* pointer, std::size_t) noexcept { tarn::details::free(pointer); }
}
