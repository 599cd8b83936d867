// ShowAlert where there is no desktop message box: the host's handler when it gives one, else the
// text goes to standard error in one write.
#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "rule.h"

// Defined by a host that receives the alerts itself; null here when it does not.
extern "C" __attribute__((weak)) TxscreenAlertHandler TxscreenAlertHook;

namespace txscreen {
namespace {

// Writes all of `buf`, going on after short writes and interrupted calls. Gives up silently on a
// real error: an alert has nowhere else to go, and the rule must still give its answer.
void WriteAll(const char* buf, size_t size) {
  while (size > 0) {
    ssize_t written = write(STDERR_FILENO, buf, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    buf += written;
    size -= static_cast<size_t>(written);
  }
}

}  // namespace

void ShowAlert(const char* text) {
  if (&TxscreenAlertHook != nullptr && TxscreenAlertHook != nullptr) {
    TxscreenAlertHook(text);
    return;
  }
  // Text and newline leave in a single write, so alerts from concurrent threads never interleave
  // inside a line. Every alert text of the libraries fits the buffer; a longer one is cut there
  // rather than split across two writes.
  char line[1024];
  size_t length = strnlen(text, sizeof line - 1);
  std::memcpy(line, text, length);
  line[length] = '\n';
  WriteAll(line, length + 1);
}

}  // namespace txscreen
