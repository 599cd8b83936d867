// What the host needs to know of its console.
#ifndef TXSCREEN_HOST_TERMINAL_H_
#define TXSCREEN_HOST_TERMINAL_H_

namespace txhost {

// Whether standard error is a terminal, where a progress bar may be drawn.
bool StderrIsTerminal();

// Makes standard output write bytes as they are: on Windows it would turn each LF into CRLF.
void UseBinaryStdout();

}  // namespace txhost

#endif  // TXSCREEN_HOST_TERMINAL_H_
