// What happens when the user interrupts a run: its temporary files go, and nothing is published.
#ifndef TXSCREEN_HOST_PLATFORM_INTERRUPT_H_
#define TXSCREEN_HOST_PLATFORM_INTERRUPT_H_

namespace txhost {

// From now on, SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and console close on Windows) remove every
// registered temporary file and end the process with `status`. Idempotent.
void InstallInterruptCleanup(int status);

// Registers a temporary file for removal on interrupt; `path` must stay valid until it is
// unregistered. Gives false when the table is full.
bool RegisterTemporary(const char* path);
void UnregisterTemporary(const char* path);

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
