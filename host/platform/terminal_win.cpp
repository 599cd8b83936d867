// The console on Windows.
// windows.h comes first: the other system headers rely on it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "interrupt_table.h"
#include "terminal.h"

namespace txhost {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

// Task Manager and WMI read the system's own copy of the command line.
bool ProcessListShowsArguments() { return false; }

std::ptrdiff_t ReadStandardInput(char* buffer, size_t size) {
  _setmode(_fileno(stdin), _O_BINARY);  // the bytes as they are, CRLF included
  int got = _read(_fileno(stdin), buffer, static_cast<unsigned>(size));
  return got;
}

namespace {

// The console's mode while a prompt has its echo off, for an interrupt to put back.
HANDLE g_prompt_console = INVALID_HANDLE_VALUE;
DWORD g_prompt_mode = 0;

void RestorePromptConsole() {
  if (g_prompt_console != INVALID_HANDLE_VALUE) SetConsoleMode(g_prompt_console, g_prompt_mode);
}

}  // namespace

bool ReadHiddenLine(const std::string& prompt, std::string* line, std::string* reason) {
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE output =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE ||
      !GetConsoleMode(input, &mode)) {
    *reason = "no console";
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    return false;
  }
  g_prompt_console = input;
  g_prompt_mode = mode;
  SetInterruptHook(RestorePromptConsole);
  SetConsoleMode(input, (mode | ENABLE_LINE_INPUT) & ~ENABLE_ECHO_INPUT);
  DWORD count = 0;
  WriteConsoleA(output, prompt.data(), static_cast<DWORD>(prompt.size()), &count, nullptr);
  char c;
  while (ReadConsoleA(input, &c, 1, &count, nullptr) && count == 1 && c != '\n') {
    if (c != '\r') line->push_back(c);
  }
  WriteConsoleA(output, "\r\n", 2, &count, nullptr);
  SetConsoleMode(input, mode);
  SetInterruptHook(nullptr);
  g_prompt_console = INVALID_HANDLE_VALUE;
  CloseHandle(input);
  CloseHandle(output);
  return true;
}

}  // namespace txhost
