// Handle memory on ELF platforms: the ordinary heap.
#include "handle_memory.h"

#include <new>

namespace ocisim {

void* AllocateHandleMemory(size_t size) { return ::operator new(size); }

void FreeHandleMemory(void* memory, size_t) { ::operator delete(memory); }

}  // namespace ocisim
