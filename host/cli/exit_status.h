// The exit statuses of every txhost command, in one place; the README's table is this one.
#ifndef TXSCREEN_HOST_CLI_EXIT_STATUS_H_
#define TXSCREEN_HOST_CLI_EXIT_STATUS_H_

namespace txhost {

enum ExitStatus {
  kExitOk = 0,        // everything was done: every row screened, no alert; a rule answered
  kExitFindings = 1,  // the run completed and published, but rejected rows or raised alerts
  kExitUsage = 2,     // bad usage or set-up: nothing was screened and nothing was written
  kExitFailed = 3,    // the run failed on its way (a write, too many rejects): nothing published
  kExitInterrupted = 130,  // SIGINT, SIGTERM, Ctrl-C or console close: nothing published
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_EXIT_STATUS_H_
