// The process-wide memory manager behind the global allocation operators.
#ifndef OVN8_MEMORY_MEMORY_MANAGER_H_
#define OVN8_MEMORY_MEMORY_MANAGER_H_

// Creates the manager, its heap and the block pools once; later calls do
// nothing. Static initialisation calls it first of all.
extern "C" void create_memory_manager();

#endif  // OVN8_MEMORY_MEMORY_MANAGER_H_
