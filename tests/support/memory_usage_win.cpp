// Resident memory as the process's working set.
#include <windows.h>
// psapi.h needs the types windows.h declares.
#include <psapi.h>

#include "memory_usage.h"

namespace testing_support {

size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

}  // namespace testing_support
