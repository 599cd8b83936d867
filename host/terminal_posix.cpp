// The console on POSIX systems.
#include <unistd.h>

#include "terminal.h"

namespace txhost {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseBinaryStdout() {}

}  // namespace txhost
