// `txhost screen`: open the input, check the rule set and the outputs, screen every row, publish.
#include "screen_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "alert_capture.h"
#include "credentials.h"
#include "exit_status.h"
#include "interrupt.h"
#include "library_set.h"
#include "rule_set.h"
#include "screen_input.h"
#include "screen_outputs.h"
#include "screen_pipeline.h"
#include "session.h"
#include "terminal.h"

namespace txhost {
namespace {

// Rejects and alerts beyond these are counted in the summary, not shown one by one.
constexpr size_t kShownRejects = 10;
constexpr size_t kShownAlerts = 10;

int Report(int status, const std::string& message) {
  std::fprintf(stderr, "txhost screen: %s\n", message.c_str());
  return status;
}

class Progress {
 public:
  Progress(uint64_t total_bytes, bool enabled) : total_(total_bytes), enabled_(enabled) {}
  void Show(uint64_t bytes, size_t rows) {
    if (!enabled_) return;
    constexpr int kWidth = 30;
    int filled =
        total_ > 0 ? static_cast<int>(kWidth * std::min<uint64_t>(bytes, total_) / total_) : 0;
    std::fprintf(stderr, "\r[%s%s] %3d%% %zu rows", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(),
                 total_ > 0 ? static_cast<int>(100 * bytes / total_) : 0, rows);
    shown_ = true;
  }
  void Finish() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  uint64_t total_;
  bool enabled_;
  bool shown_ = false;
};

// The host's sessions: one per worker when a check needs the database, each a service context,
// session and error handle of its own under one threaded environment, since a server serves one
// call at a time per session.
struct Sessions {
  std::unique_ptr<HostSession> session;
  std::vector<Worker> workers;
};

bool OpenSessions(const ScreenOptions& options, const std::vector<Check>& checks, unsigned workers,
                  Sessions* sessions, std::string* error) {
  sessions->workers.assign(workers, Worker{});
  bool needed = std::any_of(checks.begin(), checks.end(),
                            [](const Check& check) { return check.rule->TakesHandles(); });
  if (!needed || options.parse_only) return true;
  ConnectString login;
  bool resolved = ResolveLogin(options.connect, options.password_file, &login, error);
  Wipe(&options.connect);
  if (!resolved) return false;
  sessions->session = HostSession::Open(login, workers > 1, error);
  bool opened = sessions->session != nullptr;
  if (opened) sessions->workers[0].handles = sessions->session->handles();
  for (unsigned w = 1; opened && w < workers; ++w) {
    opened = sessions->session->OpenAnother(login, &sessions->workers[w].handles, error);
    if (!opened) {
      *error = "session " + std::to_string(w + 1) + " of " + std::to_string(workers) +
               " (one per worker, --threads): " + *error;
    }
  }
  Wipe(&login.password);
  if (!opened) sessions->session.reset();
  return opened;
}

// Shows the first rejects and alerts as they come, so a user sees at once what goes wrong.
class Notices {
 public:
  Notices(const std::string& input, const std::vector<Check>& checks, size_t id_column)
      : input_(input), checks_(checks), id_column_(id_column) {}

  void Row(const CsvRecord& record, const RowResult& result) {
    if (!result.reject.empty() && rejects_++ < kShownRejects) {
      std::fprintf(stderr, "%s:%zu: rejected: %s\n", input_.c_str(), record.line,
                   result.reject.c_str());
      if (rejects_ == kShownRejects) std::fprintf(stderr, "(further rejects are only counted)\n");
    }
    for (const RaisedAlert& alert : result.alerts) {
      if (alerts_++ >= kShownAlerts) break;
      const Check& check = checks_[alert.check];
      std::fprintf(stderr, "%s:%zu: id %s: %s (%s) raised: %s\n", input_.c_str(), record.line,
                   record.fields[id_column_].c_str(), check.label.c_str(), check.rule->name,
                   alert.text.c_str());
      if (alerts_ == kShownAlerts) std::fprintf(stderr, "(further alerts are only counted)\n");
    }
  }

 private:
  const std::string& input_;
  const std::vector<Check>& checks_;
  size_t id_column_;
  size_t rejects_ = 0;
  size_t alerts_ = 0;
};

// Reads, screens and writes every row in input order. kExitOk, or the status of a run that
// must not be published.
int ScreenRows(const ScreenOptions& options, ScreenInput& input, const std::vector<Check>& checks,
               const Sessions& sessions, ScreenOutputs& outputs, ScreenSummary* summary) {
  RowLayout layout{input.header.size(), input.id_column, input.label_column,
                   FirstDateColumn(checks)};
  ScreenPipeline pipeline(checks, input.header, layout, options.parse_only,
                          !options.explain.empty(), sessions.workers);
  Notices notices(input.name, checks, input.id_column);
  Progress progress(input.total_bytes, StderrIsTerminal() && input.total_bytes > (1u << 20));
  size_t stopped_at = 0;
  bool completed = pipeline.Run(
      *input.reader,
      [&](const CsvRecord& record, const RowResult& result) {
        summary->Tally(result);
        if (!result.alerts.empty()) {
          summary->KeepAlerts(record.fields[input.id_column], record.line, result);
        }
        notices.Row(record, result);
        outputs.Row(record, result);
        stopped_at = record.line;
        return summary->rejected <= options.max_rejects;
      },
      [&](size_t rows) { progress.Show(input.reader->bytes_read(), rows); },
      [&] { outputs.Flush(); });
  progress.Finish();
  if (!completed) {
    return Report(kExitFailed, "more than " + std::to_string(options.max_rejects) +
                                   " rows rejected (--max-rejects); stopped at " + input.name +
                                   ":" + std::to_string(stopped_at) + ", nothing was written");
  }
  if (input.reader->failed()) {
    return Report(kExitFailed, input.name + ": reading stopped on an error after " +
                                   std::to_string(summary->read) + " rows; nothing was written");
  }
  return kExitOk;
}

}  // namespace

int RunScreen(const ScreenOptions& options, ScreenSummary* result) {
  InstallInterruptCleanup();
  std::string error;
  auto input =
      OpenScreenInput(options.transactions, options.id_column, options.label_column, &error);
  if (!input) return Report(kExitUsage, error);
  LibrarySet libraries(options.library_directory);
  std::vector<std::string> problems;
  std::vector<Check> checks = LoadRuleSet(options.rules, input->header, libraries, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());
    return kExitUsage;
  }
  auto outputs = ScreenOutputs::Open(options, *input, checks, &error);
  if (!outputs) return Report(kExitUsage, error);
  Sessions sessions;
  if (!OpenSessions(options, checks, std::max(1u, options.threads), &sessions, &error)) {
    return Report(kExitUsage, error);
  }

  AlertRouting routing(libraries.Loaded());
  ScreenSummary summary(input->name, options.rules, checks, input->label_column >= 0,
                        options.parse_only);
  summary.workers = sessions.workers.size();
  auto started = std::chrono::steady_clock::now();
  int status = ScreenRows(options, *input, checks, sessions, *outputs, &summary);
  if (status != kExitOk) return status;
  summary.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!outputs->Publish(summary, &error))
    return Report(kExitFailed, error + "; nothing was written");
  std::fputs(SummaryText(summary).c_str(), stderr);
  if (result != nullptr) *result = summary;
  return summary.rejected > 0 || summary.alerts > 0 ? kExitFindings : kExitOk;
}

}  // namespace txhost
