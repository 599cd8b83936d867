// `txhost serve`: the rule set as a real-time decision service over HTTP, on the engine that
// screens files.
#ifndef TXSCREEN_HOST_CLI_SERVE_COMMAND_H_
#define TXSCREEN_HOST_CLI_SERVE_COMMAND_H_

#include <cstddef>
#include <cstdio>
#include <string>

#include "http_server.h"
#include "idempotency.h"

namespace txhost {

// What `txhost serve --help` says of the API and the signals.
inline constexpr char kServeHelp[] =
    R"(The API (JSON in and out; errors are {"error": "..."} naming the field and the reason;
GET /openapi.json describes it all in OpenAPI 3.1):
  POST /v1/screen   one transaction, {"COLUMN": "text" or number, ...}, or an array of them (a
                    batch, at most 10000): each the rule set's columns and the id. A number is
                    read as its text in the request, as the same text in a CSV file would be.
                    200 {"id", "checks": {LABEL: 0|1}, "flagged", "score", "outcome", "alerts"}
                    (score and outcome when the set has them), with Server-Timing (queue,
                    decide, audit); in a batch, an item that a file would reject is {"id",
                    "rejected": REASON}. 400 malformed JSON, values nested deeper than 32 levels
                    or a bad Idempotency-Key, 409 a key whose first request is being decided,
                    422 a missing column, a bad value or a key used with another body, 413 a
                    body over --max-body, 401 no or a wrong token (WWW-Authenticate: Bearer),
                    503 with Retry-After when overloaded (--max-inflight, --max-buffered,
                    --max-connections), without a database session, when a log cannot record,
                    or stopping.
                    Idempotency-Key (1 to 255 characters): a retry with the same key and body
                    gets the first 200, 400 or 422 again, byte for byte, and is not decided
                    again (Idempotent-Replayed: true); keys are kept --idempotency-window, and
                    read back from --audit at start. traceparent: its trace id is audited.
  GET /healthz      200 while the process runs
  GET /readyz       200 when every worker can decide and every log can record and names its
                    file, else 503
  GET /metrics      the counters in the Prometheus text format (behind the token when one is set)
  GET /openapi.json the API's description
Every GET answers HEAD too. An answer given before a body was read (401, 404, 405, 413, 503) is
followed by a lingering close, so that a client still sending reads it.
A single transaction never waits for a whole batch: batches are decided 16 transactions at a
time, with the single transactions that wait decided in between. A worker whose database session
is lost opens a new one on its own, after 100 ms, doubling to 5 s, whether or not requests come.
A request whose client has gone when its turn comes is not decided; a decision whose answer does
not reach its client is followed in the audit by {"id", "undelivered": REASON}.
Signals: SIGHUP reads the rule sets again and serves them if they can be used, keeping the last
good ones otherwise (one that comes while the server starts is honoured once it serves); SIGUSR1
reopens --audit and --changes at their paths (the same); SIGTERM or SIGINT stop accepting,
answer the requests in flight for at most --drain seconds and the rest 503, sync the logs, close
the sessions and exit 0 within the drain and a second. --audit and --changes are appended to, a
request's lines whole or not at all, synced every second, and tried again every second while
they cannot be written.
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
  size_t max_body = kDefaultMaxBody;
  size_t max_inflight = 0;  // 0: 64 per worker
  size_t max_buffered = kDefaultMaxBuffered;
  size_t max_connections = kDefaultMaxConnections;
  double timeout_seconds = 10;
  double drain_seconds = 10;
  IdempotencySettings idempotency;
  std::FILE* messages = stderr;
};

// Serves until SIGTERM or SIGINT, then finishes the requests in flight (for at most
// --drain seconds, answering the rest 503), syncs the logs, closes the sessions and gives an
// ExitStatus (exit_status.h), within the drain's limit and a second. SIGHUP reloads the rule
// sets, also one that comes while the server starts.
int RunServe(ServeOptions& options);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_SERVE_COMMAND_H_
