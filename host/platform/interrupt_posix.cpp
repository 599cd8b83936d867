// Interrupts on POSIX systems: one handler for SIGINT, SIGTERM, SIGHUP and SIGPIPE that removes
// the temporary files, puts the terminal back, says what happened and exits.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "interrupt.h"
#include "interrupt_table.h"

namespace txhost {
namespace {

InterruptStatuses g_statuses{130, 129, 141};

void WriteAll(const char* text, size_t size) {
  while (size > 0) {
    ssize_t written = write(STDERR_FILENO, text, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // standard error is gone too: the status still says it
    text += written;
    size -= static_cast<size_t>(written);
  }
}

void OnSignal(int signal) {
  RemoveTemporaries();
  RunInterruptHook();
  switch (signal) {
    case SIGHUP:
      DescribeInterrupt("hung up (SIGHUP)", WriteAll);
      _exit(g_statuses.hung_up);
    case SIGPIPE:
      DescribeInterrupt("standard output was closed by its reader (SIGPIPE)", WriteAll);
      _exit(g_statuses.broken_pipe);
    case SIGTERM:
      DescribeInterrupt("interrupted (SIGTERM)", WriteAll);
      _exit(g_statuses.interrupted);
    default:
      DescribeInterrupt("interrupted (SIGINT)", WriteAll);
      _exit(g_statuses.interrupted);
  }
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

sigset_t InterruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : kSignals) sigaddset(&signals, signal);
  return signals;
}

}  // namespace

void InstallInterruptCleanup(const InterruptStatuses& statuses) {
  g_statuses = statuses;
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  action.sa_mask = InterruptSignals();
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

// Blocking the signals holds an interrupt back until the last output is in place.
PublishingScope::PublishingScope() {
  sigset_t signals = InterruptSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

PublishingScope::~PublishingScope() {
  sigset_t signals = InterruptSignals();
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace txhost
