// The alert spy on Linux: this program's own write() takes ShowAlert's calls while a spy is
// active. The program exports it, so the rule libraries' calls bind to it as well.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "alert_spy.h"
#include "alert_store.h"

using testing_support::Alert;
using testing_support::Alerts;

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* buf,
                                                                size_t count) {
  if (fd == STDERR_FILENO && Alerts().active.load()) {
    Alert alert;
    alert.written.assign(static_cast<const char*>(buf), count);
    alert.text = alert.written;
    if (!alert.text.empty() && alert.text.back() == '\n') alert.text.pop_back();
    Alerts().Add(std::move(alert));
    return static_cast<ssize_t>(count);
  }
  using Write = ssize_t (*)(int, const void*, size_t);
  static Write real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  return real(fd, buf, count);
}

namespace testing_support {

AlertSpy::AlertSpy(std::initializer_list<void*>) {
  if (Alerts().active.exchange(true)) std::abort();  // one spy at a time
  Clear();
}

AlertSpy::~AlertSpy() { Alerts().active = false; }

}  // namespace testing_support
