// `txhost screen`: read the transactions, convert each row's arguments, call every check, and
// write one output row per usable transaction, in input order.
#include "screen_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "csv.h"
#include "library_set.h"
#include "rule_set.h"
#include "session.h"
#include "terminal.h"
#include "values.h"

namespace txhost {
namespace {

constexpr size_t kBatchRows = 4096;

// What screening one row gave.
struct RowResult {
  std::string reject;       // why the row could not be used; empty when it was screened
  std::vector<char> fired;  // one per check
  int outcome = -1;         // the label column's 0 or 1, when backtesting
  std::string explanation;  // JSON lines for the checks that fired
};

struct Counts {
  size_t hits = 0, true_positives = 0, false_positives = 0, false_negatives = 0;
};

// Converts a row's fields to the values its checks take and calls the checks. One per thread;
// it keeps its buffers from row to row.
class RowScreener {
 public:
  RowScreener(const std::vector<Check>& checks, const std::vector<std::string>& header,
              size_t id_column, int label_column, bool parse_only, bool explain)
      : checks_(checks),
        header_(header),
        id_column_(id_column),
        label_column_(label_column),
        parse_only_(parse_only),
        explain_(explain),
        values_(checks.size()) {
    // Literals are set once; only the column arguments change from row to row.
    for (size_t c = 0; c < checks.size(); ++c) {
      values_[c].resize(checks[c].args.size());
      for (size_t a = 0; a < checks[c].args.size(); ++a) {
        if (!checks[c].args[a].from_column) values_[c][a] = checks[c].args[a].literal;
      }
    }
  }

  void Screen(const CsvRecord& record, const OciHandles& handles, RowResult* result) {
    result->reject.clear();
    result->explanation.clear();
    result->fired.assign(checks_.size(), 0);
    result->outcome = -1;
    if (!record.error.empty()) {
      result->reject = record.error;
      return;
    }
    if (record.fields.size() != header_.size()) {
      result->reject = "expected " + std::to_string(header_.size()) + " fields, found " +
                       std::to_string(record.fields.size());
      return;
    }
    if (label_column_ >= 0) {
      const std::string& outcome = record.fields[label_column_];
      if (outcome != "0" && outcome != "1") {
        result->reject = "column " + header_[label_column_] + ": \"" + outcome + "\" is not 0 or 1";
        return;
      }
      result->outcome = outcome == "1";
    }
    // Every argument is converted before any rule runs, so a bad field stops the whole row.
    for (size_t c = 0; c < checks_.size(); ++c) {
      for (size_t a = 0; a < checks_[c].args.size(); ++a) {
        const CheckArg& arg = checks_[c].args[a];
        if (!arg.from_column) continue;
        std::string error;
        if (!ParseValue(arg.kind, record.fields[arg.column], &values_[c][a], &error)) {
          result->reject = "column " + header_[arg.column] + ": " + error;
          return;
        }
      }
    }
    if (parse_only_) return;
    for (size_t c = 0; c < checks_.size(); ++c) {
      const Check& check = checks_[c];
      result->fired[c] = check.rule->invoke(check.function, handles, values_[c].data()) == 1;
      if (result->fired[c] && explain_) Explain(record, c, result);
    }
  }

 private:
  void Explain(const CsvRecord& record, size_t c, RowResult* result) {
    const Check& check = checks_[c];
    nlohmann::json args = nlohmann::json::array();
    for (size_t a = 0; a < check.args.size(); ++a) {
      const CheckArg& arg = check.args[a];
      const Value& value = values_[c][a];
      nlohmann::json entry = {{"kind", KindName(arg.kind)},
                              {"source", arg.from_column ? "column" : "literal"}};
      if (arg.from_column) entry["column"] = arg.source;
      if (arg.kind == ParamKind::kAmount) {
        // The shortest decimal that reads back as the float the rule was given.
        entry["value"] = std::stod(ValueText(arg.kind, value));
      } else {
        entry["value"] = ValueText(arg.kind, value);
      }
      args.push_back(std::move(entry));
    }
    nlohmann::json line = {
        {"id", record.fields[id_column_]}, {"line", record.line},      {"label", check.label},
        {"library", check.rule->library},  {"rule", check.rule->name}, {"args", std::move(args)}};
    // Bytes that are not UTF-8 are replaced rather than refused: an audit line is never lost.
    result->explanation +=
        line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }

  const std::vector<Check>& checks_;
  const std::vector<std::string>& header_;
  size_t id_column_;
  int label_column_;
  bool parse_only_;
  bool explain_;
  std::vector<std::vector<Value>> values_;
};

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

int Fail(const std::string& message) {
  std::fprintf(stderr, "txhost screen: %s\n", message.c_str());
  return 1;
}

double Rate(size_t part, size_t whole) { return whole == 0 ? 0.0 : double(part) / double(whole); }

void PrintSummary(const std::vector<Check>& checks, const std::vector<Counts>& counts, size_t read,
                  size_t screened, size_t rejected, double seconds, bool backtest) {
  std::fprintf(stderr, "rows read %zu, screened %zu, rejected %zu in %.3f s (%.0f rows/s)\n", read,
               screened, rejected, seconds, seconds > 0 ? read / seconds : 0.0);
  std::fprintf(stderr, "%-22s %-16s %8s %8s", "check", "rule", "hits", "rate");
  if (backtest)
    std::fprintf(stderr, " %6s %6s %6s %9s %7s", "TP", "FP", "FN", "precision", "recall");
  std::fputc('\n', stderr);
  for (size_t c = 0; c < checks.size(); ++c) {
    const Counts& n = counts[c];
    std::fprintf(stderr, "%-22s %-16s %8zu %7.1f%%", checks[c].label.c_str(), checks[c].rule->name,
                 n.hits, 100 * Rate(n.hits, screened));
    if (backtest) {
      std::fprintf(stderr, " %6zu %6zu %6zu %8.1f%% %6.1f%%", n.true_positives, n.false_positives,
                   n.false_negatives,
                   100 * Rate(n.true_positives, n.true_positives + n.false_positives),
                   100 * Rate(n.true_positives, n.true_positives + n.false_negatives));
    }
    std::fputc('\n', stderr);
  }
}

int ColumnIndex(const std::vector<std::string>& header, const std::string& name) {
  auto it = std::find(header.begin(), header.end(), name);
  return it == header.end() ? -1 : static_cast<int>(it - header.begin());
}

}  // namespace

int RunScreen(const ScreenOptions& options) {
  std::ifstream file;
  std::istream* input = &std::cin;
  uint64_t total_bytes = 0;
  const std::string& name = options.transactions;
  if (name != "-") {
    file.open(name, std::ios::binary | std::ios::ate);
    if (!file) return Fail(name + ": cannot be read");
    total_bytes = static_cast<uint64_t>(std::max<std::streamoff>(0, file.tellg()));
    file.seekg(0);
    input = &file;
  }
  CsvReader reader(*input);
  CsvRecord header;
  if (!reader.Next(&header)) return Fail(name + ": empty, no header line");
  if (!header.error.empty()) {
    return Fail(name + ":" + std::to_string(header.line) + ": header: " + header.error);
  }
  std::set<std::string> seen;
  for (const std::string& column : header.fields) {
    if (column.empty())
      return Fail(name + ":" + std::to_string(header.line) + ": a column has no name");
    if (!seen.insert(column).second) {
      return Fail(name + ":" + std::to_string(header.line) + ": column " + column +
                  " appears twice");
    }
  }
  int id_column = ColumnIndex(header.fields, options.id_column);
  if (id_column < 0) return Fail(name + ": no id column " + options.id_column);
  int label_column = -1;
  if (!options.label_column.empty()) {
    label_column = ColumnIndex(header.fields, options.label_column);
    if (label_column < 0) return Fail(name + ": no label column " + options.label_column);
  }

  LibrarySet libraries(options.library_directory);
  std::vector<std::string> problems;
  std::vector<Check> checks = LoadRuleSet(options.rules, header.fields, libraries, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }

  unsigned threads = std::max(1u, options.threads);
  std::vector<OciHandles> handles(threads);
  std::unique_ptr<HostSession> session;
  bool needs_session = std::any_of(checks.begin(), checks.end(),
                                   [](const Check& check) { return check.rule->TakesHandles(); });
  if (needs_session && !options.parse_only) {
    ConnectString connect;
    std::string error;
    if (!ParseConnectString(options.connect, &connect, &error)) return Fail(error);
    session = HostSession::Open(connect, threads > 1, &error);
    if (!session) return Fail(error);
    handles[0] = session->handles();
    for (unsigned t = 1; t < threads; ++t) {
      if (!session->HandlesForThread(&handles[t])) return Fail("cannot allocate an error handle");
    }
  }

  std::ofstream out_file, rejects_file, explain_file;
  std::ostream* out = &std::cout;
  if (!options.out.empty()) {
    out_file.open(options.out, std::ios::binary);
    if (!out_file) return Fail(options.out + ": cannot be written");
    out = &out_file;
  } else {
    UseBinaryStdout();
  }
  if (!options.rejects.empty()) {
    rejects_file.open(options.rejects, std::ios::binary);
    if (!rejects_file) return Fail(options.rejects + ": cannot be written");
    for (const std::string& column : header.fields) rejects_file << CsvField(column) << ',';
    rejects_file << "_line,_reason\n";
  }
  if (!options.explain.empty()) {
    explain_file.open(options.explain, std::ios::binary);
    if (!explain_file) return Fail(options.explain + ": cannot be written");
  }
  if (!options.parse_only) {
    *out << CsvField(options.id_column);
    for (const Check& check : checks) *out << ',' << CsvField(check.label);
    *out << '\n';
  }

  std::vector<RowScreener> screeners;
  for (unsigned t = 0; t < threads; ++t) {
    screeners.emplace_back(checks, header.fields, static_cast<size_t>(id_column), label_column,
                           options.parse_only, !options.explain.empty());
  }
  std::vector<Counts> counts(checks.size());
  size_t read = 0, screened = 0, rejected = 0;
  Progress progress(total_bytes, StderrIsTerminal() && total_bytes > (1u << 20));
  auto started = std::chrono::steady_clock::now();

  std::vector<CsvRecord> batch(kBatchRows);
  std::vector<RowResult> results(kBatchRows);
  for (bool more = true; more;) {
    size_t rows = 0;
    while (rows < kBatchRows && (more = reader.Next(&batch[rows]))) ++rows;
    auto work = [&](unsigned t) {
      for (size_t i = t; i < rows; i += threads)
        screeners[t].Screen(batch[i], handles[t], &results[i]);
    };
    if (threads == 1 || rows < threads) {
      for (size_t i = 0; i < rows; ++i) screeners[0].Screen(batch[i], handles[0], &results[i]);
    } else {
      std::vector<std::thread> workers;
      for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work, t);
      for (std::thread& worker : workers) worker.join();
    }
    for (size_t i = 0; i < rows; ++i) {
      const CsvRecord& record = batch[i];
      const RowResult& result = results[i];
      ++read;
      if (!result.reject.empty()) {
        ++rejected;
        std::fprintf(stderr, "%s:%zu: rejected: %s\n", name.c_str(), record.line,
                     result.reject.c_str());
        if (rejects_file.is_open()) {
          for (const std::string& field : record.fields) rejects_file << CsvField(field) << ',';
          rejects_file << record.line << ',' << CsvField(result.reject) << '\n';
        }
        continue;
      }
      ++screened;
      if (options.parse_only) continue;
      *out << CsvField(record.fields[id_column]);
      for (size_t c = 0; c < checks.size(); ++c) {
        bool fired = result.fired[c];
        *out << (fired ? ",1" : ",0");
        counts[c].hits += fired;
        if (label_column >= 0) {
          counts[c].true_positives += fired && result.outcome == 1;
          counts[c].false_positives += fired && result.outcome == 0;
          counts[c].false_negatives += !fired && result.outcome == 1;
        }
      }
      *out << '\n';
      if (explain_file.is_open()) explain_file << result.explanation;
    }
    progress.Show(reader.bytes_read(), read);
  }
  progress.Finish();
  out->flush();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  PrintSummary(checks, counts, read, screened, rejected, seconds, label_column >= 0);
  if (!*out) return Fail("the output could not be written");
  return 0;
}

}  // namespace txhost
