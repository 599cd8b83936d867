// `txhost serve`: check everything a decision needs before listening, then serve on two I/O
// threads until a signal says to stop.
#include "serve_command.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "credentials.h"
#include "decision_service.h"
#include "exit_status.h"
#include "http_server.h"
#include "keyed_answers.h"
#include "line_log.h"
#include "metrics.h"
#include "output_file.h"

namespace txhost {
namespace {

namespace asio = boost::asio;

// A SIGHUP that comes while the server starts, before its own handling is in place: kept, and
// honoured as a reload once it serves.
volatile std::sig_atomic_t g_hangup_while_starting = 0;
extern "C" void KeepHangup(int) { g_hangup_while_starting = 1; }
// The same for SIGUSR1, whose default would end the process: a log rotated while the server
// starts is reopened once it serves.
volatile std::sig_atomic_t g_reopen_while_starting = 0;
extern "C" void KeepReopen(int) { g_reopen_while_starting = 1; }

std::string FormatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

int Say(const ServeOptions& options, int status, const std::string& message) {
  std::fprintf(options.messages, "txhost serve: %s\n", message.c_str());
  std::fflush(options.messages);
  return status;
}

// Refuses a log that is one of the files the server reads: the rule sets, the secrets and, once
// the service has read its sets, their lists and libraries. A log is appended to, which would
// damage any of them.
bool RefuseLogsOverInputs(const ServeOptions& options, const DecisionService* service,
                          std::string* error) {
  std::vector<NamedPath> inputs = {{"--rules", options.rules},
                                   {"--shadow", options.shadow},
                                   {"--token-file", options.token_file},
                                   {"--password-file", options.password_file}};
  if (service != nullptr) {
    auto rules = service->Current();
    for (const RuleSet* set : {rules->live.get(), rules->shadow.get()}) {
      if (set == nullptr) continue;
      for (const auto& list : set->Lists()) inputs.push_back({"the list", list->file()});
      for (const std::string& file : set->libraries().LoadedFiles()) {
        inputs.push_back({"the library", file});
      }
    }
  }
  return CheckOutputPaths(inputs, {{"--audit", options.audit}, {"--changes", options.changes}},
                          error);
}

// The logs the options name, each opened for appending.
bool OpenLogs(const ServeOptions& options, std::unique_ptr<LineLog>* audit,
              std::unique_ptr<LineLog>* changes, std::string* error) {
  if (options.shadow.empty() != options.changes.empty()) {
    *error = options.shadow.empty() ? "--changes " + options.changes + ": needs --shadow"
                                    : "--shadow " + options.shadow + ": needs --changes FILE";
    return false;
  }
  if (!options.audit.empty() && !(*audit = LineLog::Open(options.audit, error))) {
    *error = "--audit " + *error;
    return false;
  }
  if (!options.changes.empty() && !(*changes = LineLog::Open(options.changes, error))) {
    *error = "--changes " + *error;
    return false;
  }
  return true;
}

bool ReadToken(const ServeOptions& options, std::string* token, std::string* error) {
  if (options.token_file.empty()) return true;
  if (!ReadSecretLine("--token-file", options.token_file, token, error)) return false;
  if (token->empty()) {
    *error = "--token-file " + options.token_file + ": the first line is empty";
    return false;
  }
  // HTTP takes the white space around a header's value off, so such a token could never match.
  constexpr char kWhiteSpace[] = " \t\v\f\r";
  if (token->find_first_of(kWhiteSpace) == 0 ||
      token->find_last_of(kWhiteSpace) == token->size() - 1) {
    *error = "--token-file " + options.token_file +
             ": the token begins or ends with white space, which no client's Authorization "
             "header can carry; remove it";
    return false;
  }
  return true;
}

// Whether the rule sets need the database: read once here, so that a login is asked for only
// then.
bool NeedsLogin(const ServeOptions& options, std::string* error) {
  for (const std::string& path : {options.rules, options.shadow}) {
    if (path.empty()) continue;
    auto rules = RuleSet::Open(path, options.library_directory, error);
    if (!rules) return false;
    std::vector<std::string> problems;
    auto plan = PlanDecisions(*rules, nullptr, options.id_column, &problems);
    if (plan && plan->needs_database) return true;
  }
  return false;
}

// Every second while the server runs: the logs synced, and checked that they can be written and
// that their paths still name them, with a line for each change.
void LookAfterLogsEverySecond(asio::steady_timer* timer, DecisionLog* log,
                              const ServeOptions* options) {
  timer->expires_after(std::chrono::seconds(1));
  timer->async_wait([timer, log, options](boost::system::error_code ec) {
    if (ec) return;
    log->Sync();
    for (const std::string& line : log->Check()) Say(*options, 0, line);
    LookAfterLogsEverySecond(timer, log, options);
  });
}

// The service's settings from the options, the login resolved when the rule sets need one; the
// connect string is wiped either way. False and the message when something is refused.
bool SettingsFrom(ServeOptions& options, DecisionLog* log, Metrics* metrics,
                  ServiceSettings* settings, std::string* error) {
  settings->rules = options.rules;
  settings->shadow = options.shadow;
  settings->library_directory = options.library_directory;
  settings->id_column = options.id_column;
  settings->workers = std::max(1u, options.threads);
  settings->max_inflight =
      options.max_inflight > 0 ? options.max_inflight : 64 * settings->workers;
  settings->log = log;
  settings->metrics = metrics;
  bool login_needed = NeedsLogin(options, error);
  if (!error->empty() && !login_needed) return false;
  error->clear();
  if (!login_needed) return true;
  ConnectString login;
  bool resolved = ResolveLogin(options.connect, options.password_file, &login, error);
  Wipe(&options.connect);
  if (resolved) settings->login = std::move(login);
  return resolved;
}

// SIGHUP reloads the rule sets; SIGUSR1 reopens the logs at their paths; SIGTERM or SIGINT drain
// the server and stop `io` once every connection has its answer. At the drain's limit, the requests
// still waiting or being decided are answered 503; a second later `io` stops whatever is left.
class SignalHandling {
 public:
  SignalHandling(asio::io_context& io, const ServeOptions& options, DecisionService& service,
                 DecisionLog& log, HttpServer& server)
      : io_(io),
        options_(options),
        service_(service),
        log_(log),
        server_(server),
        signals_(io, SIGINT, SIGTERM, SIGHUP),
        deadline_(io) {
    signals_.add(SIGUSR1);
  }

  void Start() {
    // The handler that kept a SIGHUP during the start gives way to the set's own.
    if (g_hangup_while_starting) {
      g_hangup_while_starting = 0;
      Reload("a SIGHUP came while the server started: ");
    }
    if (g_reopen_while_starting) {
      g_reopen_while_starting = 0;
      Say(options_, 0, "a SIGUSR1 came while the server started: " + log_.Reopen());
    }
    Wait();
  }
  // When the process must be gone, at the latest: the drain's limit and a second.
  std::chrono::steady_clock::time_point exit_by() const { return exit_by_; }

 private:
  void Wait() {
    signals_.async_wait([this](boost::system::error_code ec, int signal) { On(ec, signal); });
  }
  void Reload(const std::string& why) {
    std::string message;
    service_.Reload(&message);
    Say(options_, 0, why + message);
  }
  void On(boost::system::error_code ec, int signal) {
    if (ec) return;
    if (signal == SIGHUP) {
      Reload("");
      return Wait();
    }
    if (signal == SIGUSR1) {
      Say(options_, 0, "SIGUSR1: " + log_.Reopen());
      return Wait();
    }
    if (stopping_) return Wait();
    stopping_ = true;
    Say(options_, 0, std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                         ": finishing the requests in flight, for at most " +
                         FormatSeconds(options_.drain_seconds) + " s (--drain)");
    const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.drain_seconds));
    exit_by_ = std::chrono::steady_clock::now() + limit + std::chrono::seconds(1);
    deadline_.expires_after(limit);
    deadline_.async_wait([this](boost::system::error_code ec) {
      if (ec) return;
      const size_t answered = service_.AnswerTheRest(
          "the server is stopping and its drain limit (--drain) has passed; try another instance");
      if (answered > 0) {
        Say(options_, 0, "the drain limit passed: " + std::to_string(answered) +
                             " requests answered 503, their decisions not given");
      }
      // What is still on its way out gets a second more.
      deadline_.expires_at(exit_by_ - std::chrono::milliseconds(200));
      deadline_.async_wait([this](boost::system::error_code ec) {
        if (!ec) io_.stop();
      });
    });
    server_.Drain([this] { io_.stop(); });
    Wait();
  }

  asio::io_context& io_;
  const ServeOptions& options_;
  DecisionService& service_;
  DecisionLog& log_;
  HttpServer& server_;
  asio::signal_set signals_;
  asio::steady_timer deadline_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point exit_by_ = std::chrono::steady_clock::time_point::max();
};

// The line that says the server is up, and on what.
std::string ListeningLine(const ServeOptions& options, const HttpServer& server,
                          const DecisionService& service, const RestoredKeys& restored) {
  auto rules = service.Current();
  std::string line = "listening on " + server.LocalAddress() + "; rules " +
                     service.Describe(*rules) + ", " +
                     std::to_string(std::max(1u, options.threads)) + " workers" +
                     (rules->plan->needs_database ? " on sessions of their own" : "");
  if (!options.audit.empty()) {
    line += "; " + std::to_string(restored.restored) + " idempotency keys restored from " +
            options.audit;
    if (restored.unreadable > 0) {
      line += " (" + std::to_string(restored.unreadable) + " keyed lines unreadable, left out)";
    }
  }
  return line;
}

}  // namespace

int RunServe(ServeOptions& options) {
  // A client that goes away is told by the write's error, never by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, KeepHangup);
  std::signal(SIGUSR1, KeepReopen);
  std::string error, token;
  std::unique_ptr<LineLog> audit, changes;
  if (!RefuseLogsOverInputs(options, nullptr, &error) || !ReadToken(options, &token, &error) ||
      !OpenLogs(options, &audit, &changes, &error)) {
    return Say(options, kExitUsage, error);
  }
  Metrics metrics;
  DecisionLog log(audit.get(), changes.get());
  IdempotencyStore keys(options.idempotency);
  RestoredKeys restored;
  if (!options.audit.empty() && !RestoreKeyedAnswers(options.audit, &keys, &restored, &error)) {
    return Say(options, kExitUsage, "--audit " + error);
  }
  ServiceSettings settings;
  if (!SettingsFrom(options, &log, &metrics, &settings, &error)) {
    return Say(options, kExitUsage, error);
  }
  std::unique_ptr<DecisionService> service = DecisionService::Start(std::move(settings), &error);
  if (!service) {
    std::fprintf(options.messages, "%s\n", error.c_str());
    return kExitUsage;
  }
  if (!RefuseLogsOverInputs(options, service.get(), &error)) return Say(options, kExitUsage, error);

  asio::io_context io;
  HttpServer server(io, *service, metrics, keys,
                    {options.max_body,
                     std::chrono::milliseconds(static_cast<long>(options.timeout_seconds * 1000)),
                     token, options.max_buffered, options.max_connections});
  Wipe(&token);
  if (!server.Listen(options.listen, &error)) return Say(options, kExitUsage, error);
  server.Start();
  asio::steady_timer look_after_logs(io);
  LookAfterLogsEverySecond(&look_after_logs, &log, &options);
  // The set takes the signals from here on, and queues them until the server says it listens.
  SignalHandling signals(io, options, *service, log, server);
  Say(options, 0, ListeningLine(options, server, *service, restored));
  signals.Start();
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 2; ++t) threads.emplace_back([&] { io.run(); });
  for (std::thread& thread : threads) thread.join();

  const bool synced = service->Stop(&error, signals.exit_by());
  const int status =
      synced ? Say(options, kExitOk,
                   "stopped; " + std::string(audit ? "the audit is synced; " : "") +
                       (service->abandoned()
                            ? "workers still waiting on the database are left behind"
                            : "the sessions are closed"))
             : Say(options, kExitFailed, "stopped, but the log could not be put on the disk: " + error);
  // A worker still inside a database call cannot be joined: the process ends without waiting
  // for it, its request answered and nothing of it recorded.
  if (service->abandoned()) std::_Exit(status);
  return status;
}

}  // namespace txhost
