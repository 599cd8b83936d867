// Where the stand-in's handles live. A 64-bit client hands out handles anywhere in the address
// space, often above 4 GiB, and a caller that keeps one in 32 bits breaks there. Wine and some
// heaps put small objects low, where such a fault would pass unseen, so on 64-bit Windows the
// handles come from memory reserved above 4 GiB. Elsewhere they come from the ordinary heap (a
// 64-bit Linux heap usually lies above 4 GiB already, though not under valgrind).
#ifndef TXSCREEN_OCISIM_HANDLE_MEMORY_H_
#define TXSCREEN_OCISIM_HANDLE_MEMORY_H_

#include <cstddef>

namespace ocisim {

void* AllocateHandleMemory(size_t size);
void FreeHandleMemory(void* memory, size_t size);

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_HANDLE_MEMORY_H_
