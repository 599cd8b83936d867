// What both platforms' interrupt handlers share: the temporary files, the hook, the message.
#include <atomic>
#include <cstring>

#include "file_system.h"
#include "interrupt.h"
#include "interrupt_table.h"

namespace txhost {
namespace {

std::atomic<const char*> g_temporaries[kMaxTemporaries];
std::atomic<void (*)()> g_hook{nullptr};
std::atomic<const std::atomic<size_t>*> g_rows_streamed{nullptr};
std::atomic<bool> g_published{false};

}  // namespace

void MarkPublished() { g_published = true; }

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

void SetInterruptHook(void (*hook)()) { g_hook = hook; }

void RunInterruptHook() {
  if (auto hook = g_hook.load()) hook();
}

void CountRowsStreamed(const std::atomic<size_t>* rows) { g_rows_streamed = rows; }

void DescribeInterrupt(const char* cause, void (*write_all)(const char* text, size_t size)) {
  char line[256] = "txhost: ";
  std::strncat(line, cause, 100);
  // An interrupt held back while the outputs were put in place comes after they all arrived.
  std::strcat(line, g_published.load() ? "; every output was published before it came"
                                       : "; nothing was published");
  if (const std::atomic<size_t>* rows = g_rows_streamed.load()) {
    char digits[24];
    size_t n = rows->load(), at = sizeof digits;
    digits[--at] = '\0';
    do {
      digits[--at] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n > 0);
    std::strcat(line, ", but ");
    std::strcat(line, digits + at);
    std::strcat(line, " result rows already went out and are incomplete");
  }
  std::strcat(line, "\n");
  write_all(line, std::strlen(line));
}

}  // namespace txhost
