#include "memory/memory_manager.h"

// Placeholder until the memory manager lands.
extern "C" void create_memory_manager() {}
