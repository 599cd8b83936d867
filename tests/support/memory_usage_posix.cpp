// Resident memory from /proc/self/statm.
#include <unistd.h>

#include <cstdio>

#include "memory_usage.h"

namespace testing_support {

size_t ResidentBytes() {
  unsigned long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%lu %lu", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace testing_support
