// `txhost screen`: open the input, check the rule set and the outputs, screen every row, publish.
#include "screen_command.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "credentials.h"
#include "exit_status.h"
#include "interrupt.h"
#include "rule_set.h"
#include "screen_input.h"
#include "screen_outputs.h"
#include "screen_run.h"
#include "session_pool.h"
#include "terminal.h"

namespace txhost {
namespace {

// Rejects and alerts beyond these are counted in the summary, not shown one by one.
constexpr size_t kShownRejects = 10;
constexpr size_t kShownAlerts = 10;

int PrintError(const ScreenOptions& options, int status, const std::string& message) {
  std::fprintf(options.messages, "txhost screen: %s\n", message.c_str());
  return status;
}

// The progress bar on standard error, and the first rejects and alerts as they come, so that a
// user sees at once what goes wrong.
class ConsoleObserver : public RunObserver {
 public:
  ConsoleObserver(const ScreenInput& input, const std::vector<Check>& checks, std::FILE* out,
                  bool progress)
      : input_(input),
        checks_(checks),
        out_(out),
        progress_(progress && input.total_bytes > (1u << 20)) {}
  ~ConsoleObserver() override {
    if (shown_) std::fputs("\r\033[K", out_);
  }

  bool Progress(uint64_t bytes, size_t rows) override {
    if (!progress_) return true;
    constexpr int kWidth = 30;
    const uint64_t total = input_.total_bytes;
    int filled = static_cast<int>(kWidth * std::min<uint64_t>(bytes, total) / total);
    std::fprintf(out_, "\r[%s%s] %3d%% %zu rows", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), static_cast<int>(100 * bytes / total),
                 rows);
    shown_ = true;
    return true;
  }

  void Row(const CsvRecord& record, const RowResult& result) override {
    const char* input = input_.name.c_str();
    if (!result.reject.empty() && rejects_++ < kShownRejects) {
      std::fprintf(out_, "%s:%zu: rejected: %s\n", input, record.line, result.reject.c_str());
      if (rejects_ == kShownRejects) std::fprintf(out_, "(further rejects are only counted)\n");
    }
    for (const RaisedAlert& alert : result.alerts) {
      if (alerts_++ >= kShownAlerts) break;
      const Check& check = checks_[alert.check];
      std::fprintf(out_, "%s:%zu: id %s: %s (%s) raised: %s\n", input, record.line,
                   std::string(record.fields[input_.id_column]).c_str(), check.label.c_str(),
                   check.rule->name, alert.text.c_str());
      if (alerts_ == kShownAlerts) std::fprintf(out_, "(further alerts are only counted)\n");
    }
  }

 private:
  const ScreenInput& input_;
  const std::vector<Check>& checks_;
  std::FILE* out_;
  bool progress_;
  bool shown_ = false;
  size_t rejects_ = 0;
  size_t alerts_ = 0;
};

// While it lives, an interrupt says how many result rows already went out.
class StreamedRowsNotice {
 public:
  explicit StreamedRowsNotice(const std::atomic<size_t>* rows) { CountRowsStreamed(rows); }
  ~StreamedRowsNotice() { CountRowsStreamed(nullptr); }
};

// The sessions the run's workers screen on; a login only when a check needs the database.
std::unique_ptr<SessionPool> OpenSessions(ScreenOptions& options, const ScreenPlan& plan,
                                          unsigned workers, std::string* error) {
  if (!NeedsDatabase(plan.checks) || plan.settings.parse_only) {
    return std::make_unique<SessionPool>(workers);
  }
  ConnectString login;
  bool resolved = ResolveLogin(options.connect, options.password_file, &login, error);
  Wipe(&options.connect);
  if (!resolved) return nullptr;
  auto pool = SessionPool::Open(login, workers, error);
  Wipe(&login.password);
  return pool;
}

OutputPaths OutputsOf(const ScreenOptions& options) {
  // A parse-only run writes no results, so it leaves --out, --explain and --alerts alone.
  auto unless_parse_only = [&](const std::string& path) {
    return options.parse_only ? std::string() : path;
  };
  return {{"--out", unless_parse_only(options.out)},
          {"--rejects", options.rejects},
          {"--explain", unless_parse_only(options.explain)},
          {"--alerts", unless_parse_only(options.alerts)},
          {"--summary", options.summary},
          {"--report", options.report},
          {"--changes", options.changes}};
}

// A rule set loaded against the input's header, its problems added to `problems`.
std::vector<Check> LoadChecks(const std::string& path, const ScreenInput& input,
                              LibrarySet& libraries, std::vector<std::string>* problems,
                              Decisions* decisions) {
  std::vector<Check> checks = LoadRuleSet(path, input.header, libraries, problems, decisions);
  RefuseLabelsLikeTheId(checks, input.header[input.id_column], path, problems);
  return checks;
}

// The checked plan: the rule set, and the live one beside it paired so that a check both have is
// called once, both checked in full against the input's header before any row. False with
// every problem printed.
bool LoadPlan(const ScreenOptions& options, const ScreenInput& input, LibrarySet& libraries,
              ScreenPlan* plan, std::optional<RuleSetPair>* pair,
              std::vector<std::string>* list_files) {
  std::vector<std::string> problems;
  plan->checks = LoadChecks(options.rules, input, libraries, &problems, &plan->decisions);
  *list_files = ListFiles(plan->checks);
  RefuseAnIdLikeTheDecisionColumns(plan->decisions, input.header[input.id_column], options.rules,
                                   &problems);
  if (!options.baseline.empty()) {
    Decisions live_decisions;
    std::vector<Check> live =
        LoadChecks(options.baseline, input, libraries, &problems, &live_decisions);
    for (const std::string& file : ListFiles(live)) list_files->push_back(file);
    if (problems.empty()) {
      pair->emplace(PairRuleSets(std::move(plan->checks), live, plan->decisions, live_decisions));
      plan->checks = (*pair)->checks;
      plan->live_decisions = (*pair)->live_decisions;
    }
  }
  for (const std::string& problem : problems) {
    std::fprintf(options.messages, "%s\n", problem.c_str());
  }
  if (!problems.empty()) return false;
  if (!options.changes.empty() && !*pair) {
    PrintError(options, kExitUsage, "--changes " + options.changes + ": needs --baseline");
    return false;
  }
  plan->settings = {options.max_rejects, options.parse_only, !options.explain.empty()};
  return true;
}

// A parse-only run calls no rule, so the outputs of results are left as they are; naming one
// is told so rather than ignored.
void SayWhatParseOnlyLeaves(const ScreenOptions& options) {
  if (!options.parse_only) return;
  std::string left;
  for (const auto& [option, path] :
       {std::pair<const char*, const std::string&>{"--out", options.out},
        {"--explain", options.explain},
        {"--alerts", options.alerts}}) {
    if (path.empty() || (path == "-" && std::string(option) == "--out")) continue;
    left += (left.empty() ? "" : ", ") + std::string(option) + " " + path;
  }
  if (left.empty()) return;
  std::fprintf(options.messages,
               "txhost screen: --parse-only reads and converts every row and calls no rule: %s "
               "%s left as %s\n",
               left.c_str(), left.find(',') == std::string::npos ? "is" : "are",
               left.find(',') == std::string::npos ? "it is" : "they are");
}

// What a run that did not complete leaves: nothing, or what went out as it ran.
std::string WhatIsLeft(const ScreenOutputs& outputs) {
  std::string written = outputs.WrittenAlready();
  return written.empty() ? "nothing was written" : "nothing was published, but " + written;
}

// Why a run that did not complete publishes nothing.
int Unfinished(const ScreenOptions& options, const ScreenInput& input, const RunOutcome& outcome,
               const ScreenSummary& summary, const ScreenOutputs& outputs) {
  if (outcome.end == RunEnd::kTooManyRejects) {
    return PrintError(options, kExitFailed,
                      "more than " + std::to_string(options.max_rejects) +
                          " rows rejected (--max-rejects); stopped at " + input.name + ":" +
                          std::to_string(outcome.last_line) + ", " + WhatIsLeft(outputs));
  }
  return PrintError(options, kExitFailed,
                    input.name + ": reading stopped on an error after " +
                        std::to_string(summary.read) + " rows; " + WhatIsLeft(outputs));
}

}  // namespace

int RunScreen(ScreenOptions& options, ScreenSummary* result) {
  // Also here, for callers that run the command without main: the tests, the benchmarks.
  InstallInterruptCleanup({kExitInterrupted, kExitHungUp, kExitBrokenPipe});
  std::string error;
  auto input =
      OpenScreenInput(options.transactions, options.id_column, options.label_column, &error);
  if (!input) return PrintError(options, kExitUsage, error);
  LibrarySet libraries(options.library_directory);
  ScreenPlan plan;
  std::optional<RuleSetPair> pair;
  std::vector<std::string> list_files;
  if (!LoadPlan(options, *input, libraries, &plan, &pair, &list_files)) return kExitUsage;
  // Every file the run reads; the libraries are loaded by now.
  std::vector<NamedPath> inputs = {{"transactions", options.transactions},
                                   {"--rules", options.rules},
                                   {"--baseline", options.baseline},
                                   {"--password-file", options.password_file}};
  for (const std::string& file : list_files) inputs.push_back({"the list", file});
  for (const std::string& file : libraries.LoadedFiles()) inputs.push_back({"the library", file});
  auto outputs = ScreenOutputs::Open(OutputsOf(options), inputs, *input, plan.checks,
                                     plan.decisions, pair ? &*pair : nullptr, &error);
  if (!outputs) return PrintError(options, kExitUsage, error);
  for (const std::string& leftover : outputs->LeftoversRemoved()) {
    std::fprintf(options.messages, "txhost screen: removed %s, left by a run that was killed\n",
                 leftover.c_str());
  }
  SayWhatParseOnlyLeaves(options);
  auto sessions = OpenSessions(options, plan, std::max(1u, options.threads), &error);
  if (!sessions) return PrintError(options, kExitUsage, error);

  ScreenSummary summary(input->name, options.rules, plan.checks, input->label_column >= 0,
                        options.parse_only, pair ? pair->draft_size : plan.checks.size());
  if (pair) summary.comparison.emplace(*pair, options.baseline);
  if (plan.decisions.scored) summary.decisions.emplace(plan.decisions);
  RunOutcome outcome;
  {
    StreamedRowsNotice notice(outputs->RowsStreamed());
    ConsoleObserver observer(*input, plan.checks, options.messages,
                             options.messages == stderr && StderrIsTerminal());
    outcome =
        ScreenRows(plan, *input, libraries, sessions->handles(), *outputs, observer, &summary);
  }
  if (outcome.end != RunEnd::kCompleted) {
    return Unfinished(options, *input, outcome, summary, *outputs);
  }
  if (!outputs->Publish(summary, &error)) {
    return PrintError(options, kExitFailed, error + "; " + WhatIsLeft(*outputs));
  }
  if (result != nullptr) *result = summary;
  // The summary is part of the answer: messages that cannot take it fail the run.
  if (std::fputs(SummaryText(summary).c_str(), options.messages) == EOF ||
      std::fflush(options.messages) != 0) {
    return kExitFailed;
  }
  return summary.rejected > 0 || summary.alerts > 0 ? kExitFindings : kExitOk;
}

}  // namespace txhost
