// The process-wide memory manager behind the global allocation operators,
// and the three block pools created with it.
#ifndef OVN8_MEMORY_MEMORY_MANAGER_H_
#define OVN8_MEMORY_MEMORY_MANAGER_H_

#include <cstddef>

#include "memory/memory_heap.h"

// Creates the manager, its heap and the block pools once; later calls do
// nothing. Static initialisation calls it first of all. With the environment
// variable "n8_dont_use_memory_stat" defined (any value, also empty) the heap
// keeps no statistics; otherwise it can, once they are switched on.
extern "C" void create_memory_manager();

namespace tarn {

class BufferPool;

// The manager, created if needed.
IMemoryManager* memory_manager();
// The three pools, for blocks of 8192, 16384 and 32768 bytes; null before the
// manager exists (this does not create it).
BufferPool* buffer_pools();

namespace details {
// Throws std::bad_alloc when the heap has no block.
void* alloc(std::size_t size);
// Null when the heap has no block.
void* alloc_nothrow(std::size_t size) noexcept;
void free(void* pointer) noexcept;
}  // namespace details

}  // namespace tarn

#endif  // OVN8_MEMORY_MEMORY_MANAGER_H_
