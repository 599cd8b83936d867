// `txhost serve`: the rule set as a real-time decision service over HTTP, on the engine that
// screens files.
#ifndef TXSCREEN_HOST_CLI_SERVE_COMMAND_H_
#define TXSCREEN_HOST_CLI_SERVE_COMMAND_H_

#include <cstddef>
#include <cstdio>
#include <string>

namespace txhost {

// What `txhost serve --help` says of the API and the signals.
inline constexpr char kServeHelp[] = R"(The API (JSON in and out; errors are {"error": "..."} naming the field and the reason):
  POST /v1/screen   one transaction, {"COLUMN": "text" or number, ...}, or an array of them (a
                    batch, at most 10000): each the rule set's columns and the id. A number is
                    read as its text in the request, as the same text in a CSV file would be.
                    200 {"id", "checks": {LABEL: 0|1}, "flagged", "score", "outcome", "alerts"}
                    (score and outcome when the set has them); in a batch, an item that a file
                    would reject is {"id", "rejected": REASON}. 400 malformed JSON, 422 a missing
                    column or a bad value, 413 a body over --max-body, 401 no or a wrong token,
                    503 with Retry-After when overloaded or without a database session.
  GET /healthz      200 while the process runs
  GET /readyz       200 when every worker can decide and every log can record, else 503
  GET /metrics      the counters in the Prometheus text format (behind the token when one is set)
Signals: SIGHUP reads the rule sets again and serves them if they can be used, keeping the last
good ones otherwise; SIGTERM or SIGINT stop accepting, finish the requests in flight (at most
10 s), sync the logs, close the sessions and exit 0. --audit and --changes are appended to and
synced every second.
)";

struct ServeOptions {
  std::string library_directory;
  std::string rules;
  std::string listen = "127.0.0.1:8080";
  unsigned threads = 1;
  std::string connect;  // wiped once the workers have logged in
  std::string password_file;
  std::string audit;    // empty: no audit
  std::string shadow;   // a draft screened beside the live set; empty: none
  std::string changes;  // with a shadow: where the transactions it decides otherwise go
  std::string token_file;
  std::string id_column = "id";
  size_t max_body = 1 << 20;
  size_t max_inflight = 0;  // 0: 64 per worker
  double timeout_seconds = 10;
  std::FILE* messages = stderr;
};

// Serves until SIGTERM or SIGINT, then finishes the requests in flight (for at most 10 s), syncs
// the logs, closes the sessions and gives an ExitStatus (exit_status.h). SIGHUP reloads the rule
// sets.
int RunServe(ServeOptions& options);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_SERVE_COMMAND_H_
