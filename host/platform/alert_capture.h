// The alerts that rules raise during a run, caught by the host instead of shown, so that each is
// tied to the row and check that raised it and no modal box stops a batch.
#ifndef TXSCREEN_HOST_PLATFORM_ALERT_CAPTURE_H_
#define TXSCREEN_HOST_PLATFORM_ALERT_CAPTURE_H_

#include <string>
#include <vector>

#include "dynamic_library.h"

namespace txhost {

// Collects the alerts raised on the constructing thread while it lives. One per thread at a time.
class AlertCollector {
 public:
  AlertCollector();
  ~AlertCollector();
  AlertCollector(const AlertCollector&) = delete;
  AlertCollector& operator=(const AlertCollector&) = delete;

  bool empty() const { return texts_.empty(); }
  // The texts caught since the last call, oldest first.
  std::vector<std::string> Take();

  // Called by the routed alert on the thread that raised it.
  void Add(const char* text) { texts_.emplace_back(text ? text : ""); }
  // The collector of the calling thread, or null.
  static AlertCollector* Current();

 private:
  std::vector<std::string> texts_;
};

// While one exists, the alerts of the given libraries go to the calling thread's collector. An
// alert raised on a thread without one is shown as the library would show it. One at a time.
class AlertRouting {
 public:
  // On Windows each library's MessageBoxA import is replaced; elsewhere the libraries' alert hook
  // is set. The libraries must stay loaded while the routing lives.
  explicit AlertRouting(const std::vector<const DynamicLibrary*>& libraries);
  ~AlertRouting();
  AlertRouting(const AlertRouting&) = delete;
  AlertRouting& operator=(const AlertRouting&) = delete;

 private:
  std::vector<const DynamicLibrary*> libraries_;
  std::vector<void*> replaced_;  // what each library's import held before (Windows)
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_ALERT_CAPTURE_H_
