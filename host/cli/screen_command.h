// `txhost screen`: every transaction of a CSV file through every check of a rule set.
#ifndef TXSCREEN_HOST_CLI_SCREEN_COMMAND_H_
#define TXSCREEN_HOST_CLI_SCREEN_COMMAND_H_

#include <cstddef>
#include <cstdio>
#include <limits>
#include <string>

#include "screen_summary.h"

namespace txhost {

struct ScreenOptions {
  std::string library_directory;
  std::string rules;         // the rule-set file
  std::string baseline;      // the live rule set to compare the draft (rules) with; empty: none
  std::string transactions;  // the CSV file; "-" reads standard input
  // user[/password]@service, for rule sets with database rules (credentials.h says where else a
  // password may come from). RunScreen wipes it once the session has begun.
  std::string connect;
  std::string password_file;
  std::string out = "-";  // the results; "-" is standard output
  std::string rejects;    // empty: rejected rows are only reported
  std::string explain;    // empty: no audit trail
  std::string alerts;     // empty: alerts are only counted and shown
  std::string summary;    // empty: the summary goes to standard error only
  std::string report;     // empty: no HTML report
  std::string changes;    // with a baseline: the rows whose decision changes; empty: none
  std::string id_column = "id";
  std::string label_column;  // empty: no backtest
  unsigned threads = 1;
  size_t max_rejects = std::numeric_limits<size_t>::max();
  bool parse_only = false;  // read and convert every row, call no rule, write no results
  // Where messages, the progress bar, the first rejects and alerts and the summary go.
  std::FILE* messages = stderr;
};

// Screens the file and gives an ExitStatus (exit_status.h). Every output is written beside its
// destination and put in place only when the run completes; a refused, failed or interrupted run
// leaves every file as it was. When `summary` is not null it receives the counts of a completed
// run. options.connect, which may hold a password, is wiped once the session has begun.
int RunScreen(ScreenOptions& options, ScreenSummary* summary = nullptr);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_SCREEN_COMMAND_H_
