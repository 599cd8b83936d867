// The part of interrupt handling that both platforms share: the registered temporary files.
#ifndef TXSCREEN_HOST_PLATFORM_INTERRUPT_TABLE_H_
#define TXSCREEN_HOST_PLATFORM_INTERRUPT_TABLE_H_

#include <atomic>
#include <cstddef>

#include "interrupt.h"

namespace txhost {

constexpr size_t kMaxTemporaries = 16;

// Removes every registered file; uses nothing that a signal handler may not.
void RemoveTemporaries();

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_INTERRUPT_TABLE_H_
