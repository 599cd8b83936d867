// The table of temporary files that an interrupt removes, shared by both platforms' handlers.
#include "file_system.h"
#include "interrupt_table.h"

namespace txhost {

std::atomic<const char*> g_temporaries[kMaxTemporaries];

bool RegisterTemporary(const char* path) {
  for (auto& slot : g_temporaries) {
    const char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, path)) return true;
  }
  return false;
}

void UnregisterTemporary(const char* path) {
  for (auto& slot : g_temporaries) {
    const char* expected = path;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

void RemoveTemporaries() {
  for (auto& slot : g_temporaries) {
    if (const char* path = slot.exchange(nullptr)) RemoveFile(path);
  }
}

}  // namespace txhost
