// The part of interrupt handling that both platforms share: the registered temporary files, the
// terminal to put back, and the line that says what happened.
#ifndef TXSCREEN_HOST_PLATFORM_INTERRUPT_TABLE_H_
#define TXSCREEN_HOST_PLATFORM_INTERRUPT_TABLE_H_

#include <cstddef>

namespace txhost {

constexpr size_t kMaxTemporaries = 16;

// Removes every registered file; uses nothing that a signal handler may not.
void RemoveTemporaries();

// Called by the handler before the process ends, when set (the terminal puts its echo back).
// The hook may use only what a signal handler may.
void SetInterruptHook(void (*hook)());
void RunInterruptHook();

// Writes "txhost: CAUSE; nothing was published[, but N result rows already went out and are
// incomplete]" to `write_all`, with nothing that a signal handler may not use.
void DescribeInterrupt(const char* cause, void (*write_all)(const char* text, size_t size));

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_INTERRUPT_TABLE_H_
