// The exit statuses of every txhost command, and what each means: the one table that the help
// text is made from and the README's table is checked against.
#ifndef TXSCREEN_HOST_CLI_EXIT_STATUS_H_
#define TXSCREEN_HOST_CLI_EXIT_STATUS_H_

#include <string>

namespace txhost {

enum ExitStatus {
  kExitOk = 0,
  kExitFindings = 1,
  kExitUsage = 2,
  kExitFailed = 3,
  kExitHungUp = 129,
  kExitInterrupted = 130,
  kExitBrokenPipe = 141,
};

struct ExitStatusMeaning {
  ExitStatus status;
  const char* meaning;  // `quoted` words are options and commands
};

inline constexpr ExitStatusMeaning kExitStatusTable[] = {
    {kExitOk,
     "everything was done: every row screened and no alert raised (`call`: the rule answered; "
     "`serve`: stopped on SIGTERM or SIGINT within `--drain` and a second, every request in "
     "flight answered, with its decision or, past the drain's limit, 503, and the logs synced)"},
    {kExitFindings,
     "the run completed and its outputs are in place, but rows were rejected or rules raised "
     "alerts"},
    {kExitUsage,
     "bad usage or set-up (an option, the input that is missing, unreadable or has a bad header, "
     "the rule set, an output path, the library, the login; `serve`: the address, a log, the "
     "token file): nothing was screened and nothing was written"},
    {kExitFailed,
     "the run failed on its way (a write, reading the input, `--max-rejects`, an internal "
     "error; `serve`: a log that could not be synced, at the stop or before it): nothing was "
     "published; what already went to standard output or a device is incomplete, and the "
     "message says how much"},
    {kExitHungUp,
     "hung up (SIGHUP: the terminal was closed): nothing was published (`serve` reloads its rule "
     "sets instead, also when SIGHUP comes while it starts)"},
    {kExitInterrupted,
     "interrupted (SIGINT, SIGTERM; Ctrl-C, Ctrl-Break or console close on Windows): nothing "
     "was published, or, when it came as the outputs were put in place, every one was, and the "
     "message says so (`serve` stops with 0 instead)"},
    {kExitBrokenPipe, "the reader of standard output went away (SIGPIPE): nothing was published"},
};

// The table as the help text shows it, wrapped to the terminal's usual width.
std::string ExitStatusHelp();

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_EXIT_STATUS_H_
