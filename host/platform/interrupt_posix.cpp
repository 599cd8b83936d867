// Interrupts on POSIX systems: a signal handler that removes the temporary files and exits.
#include <signal.h>
#include <unistd.h>

#include "interrupt_table.h"

namespace txhost {
namespace {

int g_interrupted_status = 130;

void OnInterrupt(int) {
  RemoveTemporaries();
  _exit(g_interrupted_status);
}

sigset_t InterruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

void InstallInterruptCleanup(int status) {
  g_interrupted_status = status;
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  action.sa_mask = InterruptSignals();
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
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
