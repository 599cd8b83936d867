// The console on Windows.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "terminal.h"

namespace txhost {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace txhost
