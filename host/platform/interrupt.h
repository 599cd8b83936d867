// What happens when a run is interrupted, hung up on or loses the reader of its output: its
// temporary files go, the terminal is as it was, a line says so, and nothing is published.
#ifndef TXSCREEN_HOST_PLATFORM_INTERRUPT_H_
#define TXSCREEN_HOST_PLATFORM_INTERRUPT_H_

#include <atomic>
#include <cstddef>

namespace txhost {

// The status the process ends with for each cause.
struct InterruptStatuses {
  int interrupted;  // SIGINT, SIGTERM; Ctrl-C, Ctrl-Break and console close on Windows
  int hung_up;      // SIGHUP: the terminal was closed
  int broken_pipe;  // SIGPIPE: the reader of standard output went away
};

// From now on, each cause removes every registered temporary file, puts the terminal back as
// it was, writes one line on standard error ("txhost: interrupted (SIGINT); nothing was
// published") and ends the process with its status. Idempotent.
void InstallInterruptCleanup(const InterruptStatuses& statuses);

// Registers a temporary file for removal on interrupt; `path` must stay valid until it is
// unregistered. Gives false when the table is full.
bool RegisterTemporary(const char* path);
void UnregisterTemporary(const char* path);

// While set, the line on standard error says how many result rows already went out (to
// standard output, say), which an interrupt cannot take back. Null stops it.
void CountRowsStreamed(const std::atomic<size_t>* rows);

// Called in a PublishingScope once every output is in place: an interrupt that was held back
// then says so, rather than that nothing was published.
void MarkPublished();

// While one exists, an interrupt waits: the outputs being put in place all arrive, or none do.
class PublishingScope {
 public:
  PublishingScope();
  ~PublishingScope();
  PublishingScope(const PublishingScope&) = delete;
  PublishingScope& operator=(const PublishingScope&) = delete;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_INTERRUPT_H_
