// Interrupts on Windows: a console control handler, which runs on a thread of its own.
#include <windows.h>

#include <atomic>

#include "interrupt.h"
#include "interrupt_table.h"

namespace txhost {
namespace {

std::atomic<int> g_publishing{0};
int g_interrupted_status = 130;

void WriteAll(const char* text, size_t size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(size), &written, nullptr);
}

BOOL WINAPI OnControl(DWORD) {
  // The system ends the process once this returns (or after a few seconds on console close),
  // so the outputs being put in place are given the time they need first.
  while (g_publishing.load() != 0) Sleep(5);
  RemoveTemporaries();
  RunInterruptHook();
  DescribeInterrupt("interrupted", WriteAll);
  ExitProcess(g_interrupted_status);
  return TRUE;
}

}  // namespace

void InstallInterruptCleanup(const InterruptStatuses& statuses) {
  g_interrupted_status = statuses.interrupted;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

PublishingScope::PublishingScope() { ++g_publishing; }

PublishingScope::~PublishingScope() { --g_publishing; }

}  // namespace txhost
