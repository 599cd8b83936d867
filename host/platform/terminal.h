// What the host needs to know of its console.
#ifndef TXSCREEN_HOST_PLATFORM_TERMINAL_H_
#define TXSCREEN_HOST_PLATFORM_TERMINAL_H_

#include <cstddef>
#include <string>

namespace txhost {

// Whether standard error is a terminal, where a progress bar may be drawn.
bool StderrIsTerminal();

// Makes standard output write bytes as they are: on Windows it would turn each LF into CRLF.
void UseBinaryStdout();

// Reads what standard input has, up to `size` bytes, waiting only until some arrive: the count,
// 0 at its end, -1 on an error.
std::ptrdiff_t ReadStandardInput(char* buffer, size_t size);

// Asks for a line on the terminal (not standard input, which may carry data) without echoing
// what is typed. False with the reason when there is no terminal.
bool ReadHiddenLine(const std::string& prompt, std::string* line, std::string* reason);

// Whether other processes read the command line from the process's own argument memory, so that
// overwriting it there hides it (Linux: /proc/PID/cmdline).
bool ProcessListShowsArguments();

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_TERMINAL_H_
