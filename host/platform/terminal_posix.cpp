// The console on POSIX systems.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "file_system.h"
#include "interrupt_table.h"
#include "terminal.h"

namespace txhost {
namespace {

// The terminal's settings while a prompt has its echo off, for an interrupt to put back.
int g_prompt_terminal = -1;
struct termios g_prompt_saved;

void RestorePromptTerminal() {
  if (g_prompt_terminal >= 0) tcsetattr(g_prompt_terminal, TCSAFLUSH, &g_prompt_saved);
}

}  // namespace

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseBinaryStdout() {}

bool ProcessListShowsArguments() { return true; }

std::ptrdiff_t ReadStandardInput(char* buffer, size_t size) {
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool ReadHiddenLine(const std::string& prompt, std::string* line, std::string* reason) {
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    *reason = "/dev/tty: " + ErrnoText(errno);
    return false;
  }
  struct termios saved;
  if (tcgetattr(tty, &saved) != 0) {
    *reason = "/dev/tty: " + ErrnoText(errno);
    close(tty);
    return false;
  }
  struct termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  g_prompt_saved = saved;
  g_prompt_terminal = tty;
  SetInterruptHook(RestorePromptTerminal);
  tcsetattr(tty, TCSAFLUSH, &quiet);
  bool ok = write(tty, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
  char c;
  ssize_t got;
  while (ok && (got = read(tty, &c, 1)) == 1 && c != '\n') line->push_back(c);
  tcsetattr(tty, TCSAFLUSH, &saved);
  SetInterruptHook(nullptr);
  g_prompt_terminal = -1;
  close(tty);
  if (!ok) *reason = "/dev/tty: " + ErrnoText(errno);
  return ok;
}

}  // namespace txhost
