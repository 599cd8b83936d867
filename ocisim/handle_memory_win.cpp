// Handle memory on Windows: above 4 GiB on 64-bit builds, the ordinary heap on 32-bit ones.
#include "handle_memory.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace ocisim {
namespace {

#if defined(_WIN64)
// One region of addresses reserved from the top of the address space, committed as it fills.
// Freed blocks are kept by size for the next handle of that size: handles come in a few sizes.
class HighArena {
 public:
  void* Allocate(size_t size) {
    size = Rounded(size);
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<void*>& free = free_[size];
    if (!free.empty()) {
      void* block = free.back();
      free.pop_back();
      return block;
    }
    if (base_ == nullptr) base_ = Reserve();
    if (base_ == nullptr || used_ + size > kReserved) return nullptr;
    while (used_ + size > committed_) {
      if (VirtualAlloc(base_ + committed_, kCommitStep, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        return nullptr;
      }
      committed_ += kCommitStep;
    }
    void* block = base_ + used_;
    used_ += size;
    return block;
  }

  // False for memory that is not the arena's.
  bool Free(void* block, size_t size) {
    char* at = static_cast<char*>(block);
    std::lock_guard<std::mutex> lock(mutex_);
    if (base_ == nullptr || at < base_ || at >= base_ + used_) return false;
    free_[Rounded(size)].push_back(block);
    return true;
  }

 private:
  static constexpr size_t kReserved = size_t{1} << 30;
  static constexpr size_t kCommitStep = size_t{1} << 20;
  static size_t Rounded(size_t size) { return (size + 15) & ~size_t{15}; }
  // Addresses from 1 TiB up, where nothing else of the process is. Top-down reservation alone
  // does not do: Wine serves it below 4 GiB.
  static char* Reserve() {
    for (uintptr_t at = uintptr_t{1} << 40; at < uintptr_t{1} << 46; at <<= 1) {
      if (void* region = VirtualAlloc(reinterpret_cast<void*>(at), kReserved, MEM_RESERVE,
                                      PAGE_NOACCESS)) {
        return static_cast<char*>(region);
      }
    }
    return nullptr;
  }

  std::mutex mutex_;
  char* base_ = nullptr;
  size_t used_ = 0;
  size_t committed_ = 0;
  std::unordered_map<size_t, std::vector<void*>> free_;
};

// Never destroyed: handles may still be freed while the process ends.
HighArena& Arena() {
  static HighArena* arena = new HighArena;
  return *arena;
}
#endif

}  // namespace

void* AllocateHandleMemory(size_t size) {
#if defined(_WIN64)
  // Once the region is full, handles come from the heap: still correct, only lower.
  if (void* block = Arena().Allocate(size)) return block;
#endif
  return ::operator new(size);
}

void FreeHandleMemory(void* memory, size_t size) {
#if defined(_WIN64)
  if (Arena().Free(memory, size)) return;
#endif
  (void)size;
  ::operator delete(memory);
}

}  // namespace ocisim
