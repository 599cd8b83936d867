// `txhost screen`: every transaction of a CSV file through every check of a rule set.
#ifndef TXSCREEN_HOST_SCREEN_COMMAND_H_
#define TXSCREEN_HOST_SCREEN_COMMAND_H_

#include <string>

namespace txhost {

struct ScreenOptions {
  std::string library_directory;
  std::string rules;         // the rule-set file
  std::string transactions;  // the CSV file; "-" reads standard input
  std::string connect;       // user/password@service, for rule sets with database rules
  std::string out;           // empty: standard output
  std::string rejects;       // empty: rejected rows are only reported
  std::string explain;       // empty: no audit trail
  std::string id_column = "id";
  std::string label_column;  // empty: no backtest
  unsigned threads = 1;
  bool parse_only = false;  // read and convert every row, call no rule, write nothing
};

// Screens the file and returns the exit status: 0 when the run completed (rejected rows are
// reported, not fatal), 1 when the input or the rule set is unusable.
int RunScreen(const ScreenOptions& options);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SCREEN_COMMAND_H_
