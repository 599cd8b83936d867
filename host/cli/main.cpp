// txhost: the reference host that loads the rule libraries and calls their rules.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "call_command.h"
#include "credentials.h"
#include "dynamic_library.h"
#include "exit_status.h"
#include "exports_command.h"
#include "interrupt.h"
#include "rule_set_help.h"
#include "screen_command.h"
#include "session_pool.h"
#if TXHOST_HAS_SERVE
#include "serve_command.h"
#endif

namespace {

constexpr char kSampleConnect[] = "screener/screener@sample";

// The login of the session (`call`), or of the sessions (`screen`, `serve`), for database rules.
void AddLogin(CLI::App* command, std::string* connect, std::string* password_file,
              const char* sessions) {
  command->add_option("--connect", *connect,
                      std::string("user[/password]@service of the ") + sessions +
                          " for database rules");
  command->add_option("--password-file", *password_file,
                      "Read the password from this file's first line");
}

void AddThreads(CLI::App* command, unsigned* threads) {
  command->add_option("--threads", *threads, "Workers, each on a database session of its own")
      ->check(CLI::Range(1u, txhost::kMaxWorkers));
}

CLI::App* AddScreen(CLI::App& app, txhost::ScreenOptions* screen) {
  CLI::App* command =
      app.add_subcommand("screen", "Screen a CSV file of transactions through a rule set");
  command->footer("\n" + std::string(txhost::kRuleSetHelp) + txhost::ExitStatusHelp());
  command->add_option("transactions", screen->transactions, "CSV file with a header; - reads stdin")
      ->required();
  command->add_option("--rules", screen->rules, "Rule-set file (format below)")->required();
  command->add_option("--baseline", screen->baseline,
                      "The live rule set: screen beside it and compare (a set flags a row when "
                      "one of its checks fires)");
  command->add_option("--changes", screen->changes,
                      "With --baseline: each row the draft decides differently, as CSV");
  AddLogin(command, &screen->connect, &screen->password_file, "session");
  command->add_option("--out", screen->out,
                      "The results, one row per screened transaction; - is stdout");
  command->add_option("--rejects", screen->rejects, "The rejected rows, with _line and _reason");
  command->add_option("--explain", screen->explain,
                      "A JSON line per check that fired, with the values it was given");
  command->add_option("--alerts", screen->alerts,
                      "A JSON line per alert a rule raised: id, line, label, rule and text");
  command->add_option("--summary", screen->summary,
                      "The whole summary as JSON: counts, hits, alerts, backtest, rows/s");
  command->add_option("--report", screen->report,
                      "The run as one self-contained HTML page with tables and charts");
  command->add_option("--id", screen->id_column, "The transaction id column");
  command->add_option("--label", screen->label_column,
                      "Column with the known outcome (1 fraud, 0 genuine): a backtest; rows "
                      "with another value are screened but left out of it");
  AddThreads(command, &screen->threads);
  command
      ->add_option("--max-rejects", screen->max_rejects,
                   "Stop, publishing nothing, once more than this many rows are rejected")
      ->default_str("no limit");
  command->add_flag("--parse-only", screen->parse_only,
                    "Read and convert every row, call no rule, write no results");
  return command;
}

#if TXHOST_HAS_SERVE
CLI::App* AddServe(CLI::App& app, txhost::ServeOptions* serve) {
  CLI::App* command = app.add_subcommand(
      "serve", "Decide transactions over HTTP as they happen, on the engine that screens files");
  command->footer(std::string("\n") + txhost::kServeHelp + txhost::ExitStatusHelp());
  command->add_option("--rules", serve->rules, "Rule-set file; SIGHUP reads it again")->required();
  command->add_option("--listen", serve->listen, "HOST:PORT to listen on (port 0 picks one)");
  AddThreads(command, &serve->threads);
  AddLogin(command, &serve->connect, &serve->password_file, "sessions");
  command->add_option("--audit", serve->audit,
                      "Append a JSON line per answered transaction, before it is answered");
  command->add_option("--shadow", serve->shadow,
                      "A draft rule set screened beside the live one; the answer stays live");
  command->add_option("--changes", serve->changes,
                      "With --shadow: append a JSON line per transaction the draft decides "
                      "otherwise");
  command->add_option("--token-file", serve->token_file,
                      "Require this file's first line as a bearer token on /v1/screen and "
                      "/metrics");
  command->add_option("--max-body", serve->max_body,
                      "The largest request body, in bytes (the default takes a batch of 10000 "
                      "transactions of the sample's shape)")
      ->check(CLI::Range(size_t{1}, size_t{1} << 30));
  command->add_option("--max-inflight", serve->max_inflight,
                      "Requests screened or waiting at once; more get 503")
      ->check(CLI::Range(size_t{1}, size_t{1} << 20))
      ->default_str("64 per worker");
  command->add_option("--max-buffered", serve->max_buffered,
                      "Bytes of the request bodies being received at once, as declared; a body "
                      "beyond gets 503 before it is read")
      ->check(CLI::Range(size_t{1}, size_t{1} << 40));
  command->add_option("--max-connections", serve->max_connections,
                      "Connections open at once; one more gets 503 and is closed")
      ->check(CLI::Range(size_t{1}, size_t{1} << 20));
  command->add_option("--timeout", serve->timeout_seconds,
                      "Seconds a client may take to send a request or read its answer, and that "
                      "an idle connection is kept")
      ->check(CLI::Range(0.05, 3600.0));
  command->add_option("--drain", serve->drain_seconds,
                      "Seconds a stop (SIGTERM, SIGINT) gives the requests in flight; the rest "
                      "get 503, and the process is gone a second later")
      ->check(CLI::Range(0.0, 3600.0));
  command->add_option("--id", serve->id_column, "The transaction id field");
  command
      ->add_option("--idempotency-window", serve->idempotency.window,
                   "Seconds an Idempotency-Key is kept, with its answer (24 h by default)")
      ->check(CLI::Range(1, 30 * 24 * 3600))
      ->default_str("86400");
  command
      ->add_option("--idempotency-keys", serve->idempotency.max_keys,
                   "Idempotency keys kept at most; beyond, the oldest go first")
      ->check(CLI::Range(size_t{1}, size_t{1} << 32))
      ->default_str("1000000");
  command
      ->add_option("--idempotency-memory", serve->idempotency.max_bytes,
                   "Bytes the kept keys and their answers take at most; beyond, the oldest go "
                   "first")
      ->check(CLI::Range(size_t{1} << 16, size_t{1} << 40))
      ->default_str("536870912 (512 MiB)");
  return command;
}
#endif

CLI::App* AddCall(CLI::App& app, txhost::CallOptions* call) {
  CLI::App* command = app.add_subcommand(
      "call", "Load a rule library, call one rule with the given arguments and print its answer");
  AddLogin(command, &call->connect, &call->password_file, "session");
  command
      ->add_option("library", call->library,
                   "A library file's path, or a bare name (txscreen) in --libdir")
      ->required();
  command->add_option("rule", call->rule, "Exported rule name, such as SHARPINCREASE")->required();
  command->add_option("args", call->args,
                      "The rule's arguments: amounts as decimals, dates as YYYY-MM-DD");
  command->positionals_at_end();
  return command;
}

CLI::App* AddExports(CLI::App& app, std::string* library) {
  CLI::App* command =
      app.add_subcommand("exports", "List the rules a library exports, with ordinals and kinds");
  command
      ->add_option("library", *library,
                   "A library file's path, or a bare name (txscreen) in --libdir")
      ->required();
  return command;
}

// Wipes what the parser kept of every option that may carry a password.
void WipePasswordOptions(CLI::App& app) {
  for (CLI::App* command : app.get_subcommands({})) {
    for (const char* name : {"--connect"}) {
      if (CLI::Option* option = command->get_option_no_throw(name)) {
        for (const std::string& value : option->results()) {
          txhost::Wipe(const_cast<std::string*>(&value));
        }
      }
    }
  }
}

// Every command's options, and the command each was parsed into.
struct Commands {
  std::string library_directory = txhost::DynamicLibrary::ProgramDirectory();
  txhost::ScreenOptions screen;
  CLI::App* screen_command = nullptr;
#if TXHOST_HAS_SERVE
  txhost::ServeOptions serve;
  CLI::App* serve_command = nullptr;
#endif
  txhost::CallOptions call;
  CLI::App* call_command = nullptr;
  std::string exports_library;
  CLI::App* exports_command = nullptr;
};

void AddCommands(CLI::App& app, Commands* commands) {
  app.require_subcommand(1);
  app.footer(txhost::ExitStatusHelp());
  app.option_defaults()->always_capture_default();
  // Paths such as /data/transactions.csv are arguments, never Windows-style /options.
  app.allow_windows_style_options(false);
  app.add_option("--libdir", commands->library_directory,
                 "Directory where bare library names are looked up (default: the program's)");
  commands->screen.connect = kSampleConnect;
  commands->screen_command = AddScreen(app, &commands->screen);
#if TXHOST_HAS_SERVE
  commands->serve.connect = kSampleConnect;
  commands->serve_command = AddServe(app, &commands->serve);
#else
  app.footer(std::string("The decision server, txhost serve, is built on Linux only: its HTTP and "
                         "JSON libraries are not built for Windows.\n") +
             txhost::ExitStatusHelp());
#endif
  commands->call_command = AddCall(app, &commands->call);
  commands->exports_command = AddExports(app, &commands->exports_library);
}

// Runs the command that was parsed.
int RunParsed(Commands& commands) {
  if (commands.screen_command->parsed()) {
    commands.screen.library_directory = commands.library_directory;
    return txhost::RunScreen(commands.screen);
  }
#if TXHOST_HAS_SERVE
  if (commands.serve_command->parsed()) {
    commands.serve.library_directory = commands.library_directory;
    return txhost::RunServe(commands.serve);
  }
#endif
  if (commands.call_command->parsed()) {
    commands.call.library_directory = commands.library_directory;
    return txhost::RunCall(commands.call);
  }
  return commands.exports_command->parsed()
             ? txhost::RunExports(commands.library_directory, commands.exports_library)
             : txhost::kExitUsage;
}

// Runs the command that was asked for.
int RunCommand(int argc, char** argv) {
  txhost::DynamicLibrary::KeepCurrentDirectoryOutOfSearch();
  txhost::InstallInterruptCleanup(
      {txhost::kExitInterrupted, txhost::kExitHungUp, txhost::kExitBrokenPipe});
  // The parser works on a copy; the process's own arguments are hidden from others at once.
  std::vector<std::string> arguments(argv, argv + argc);
  txhost::HidePasswordsFromProcessList(argc, argv);
  std::vector<char*> copy;
  for (std::string& argument : arguments) copy.push_back(&argument[0]);

  CLI::App app{"Reference host for the txscreen rule libraries"};
  Commands commands;
  AddCommands(app, &commands);
  int status = -1;
  try {
    app.parse(argc, copy.data());
  } catch (const CLI::ParseError& e) {
    // Help and version are answers; every other parse error is bad usage.
    status = app.exit(e) == 0 ? txhost::kExitOk : txhost::kExitUsage;
  }
  WipePasswordOptions(app);
  for (std::string& argument : arguments) txhost::Wipe(&argument);
  return status >= 0 ? status : RunParsed(commands);
}

}  // namespace

int main(int argc, char** argv) {
  // A fault nothing else caught (memory exhausted, say) is a failed run, never a crash: the
  // temporary files of the outputs are removed as the stack unwinds.
  try {
    return RunCommand(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "txhost: internal error: %s; nothing was published\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "txhost: internal error; nothing was published\n");
  }
  return txhost::kExitFailed;
}
