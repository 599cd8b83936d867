// Alert routing on ELF platforms: the libraries call the host's TxscreenAlertHook when it is set.
#include <unistd.h>

#include <string>

#include "alert_capture.h"
#include "rule_types.h"

// Exported from the executable (see host/CMakeLists.txt), so that the libraries' weak reference
// binds to it.
extern "C" {
__attribute__((visibility("default"))) TxscreenAlertHandler TxscreenAlertHook = nullptr;
}

namespace txhost {
namespace {

void RouteAlert(const char* text) {
  if (AlertCollector* collector = AlertCollector::Current()) {
    collector->Add(text);
    return;
  }
  std::string line = std::string(text) + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;  // an alert has nowhere else to go
}

}  // namespace

AlertRouting::AlertRouting(const std::vector<const DynamicLibrary*>& libraries)
    : libraries_(libraries) {
  TxscreenAlertHook = RouteAlert;
}

AlertRouting::~AlertRouting() { TxscreenAlertHook = nullptr; }

}  // namespace txhost
