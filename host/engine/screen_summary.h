// What a screening run counted, as data: the caller prints it, writes it as JSON, or tests it.
#ifndef TXSCREEN_HOST_ENGINE_SCREEN_SUMMARY_H_
#define TXSCREEN_HOST_ENGINE_SCREEN_SUMMARY_H_

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "row_screener.h"
#include "rule_set.h"

namespace txhost {

// How often a check fired, and against the known outcomes when backtesting.
struct FiringCounts {
  size_t hits = 0;
  size_t true_positives = 0;
  size_t false_positives = 0;
  size_t false_negatives = 0;

  // `outcome` is 1, 0, or -1 for a row left out of the backtest.
  void Add(bool fired, int outcome);
  // Not defined (empty) when there is nothing to divide by: a check that never fired has no
  // precision, which is not the same as a precision of 0.
  std::optional<double> Precision() const;
  std::optional<double> Recall() const;
};

// One value of a swept argument, and what the check gave with it.
struct SweepPoint : FiringCounts {
  std::string value;
};

struct CheckSummary : FiringCounts {
  std::string label;
  std::string library;
  std::string rule;
  size_t alerts = 0;
  // With a sweep: the swept argument (from 1), its current value and which of the sweep's values
  // it is (-1 for none), and each value's figures.
  size_t swept_argument = 0;
  std::string current_value;
  int current_index = -1;
  std::vector<SweepPoint> sweep;
};

// An alert as the report lists it.
struct AlertExample {
  std::string id;
  size_t line = 0;
  std::string label;
  std::string rule;
  std::string text;
};

struct ScreenSummary {
  static constexpr size_t kAlertExamples = 20;

  std::string input;
  std::string rules;
  bool backtest = false;
  bool parse_only = false;
  size_t read = 0;
  size_t screened = 0;
  size_t rejected = 0;
  size_t unlabelled = 0;  // screened rows left out of the backtest
  size_t alerts = 0;
  size_t on_lost_session = 0;  // screened after their worker's session had lost its connection
  size_t workers = 1;
  std::map<std::string, size_t> rejects_by_reason;
  std::vector<CheckSummary> checks;
  // Per check, when a date is read; unordered while counting, since every row looks its day up.
  std::unordered_map<std::string, std::vector<size_t>> hits_by_day;
  std::vector<size_t> fired_together;  // checks x checks: rows on which both fired
  std::vector<AlertExample> first_alerts;
  double seconds = 0;

  ScreenSummary(const std::string& input_name, const std::string& rules_path,
                const std::vector<Check>& rule_set, bool backtesting, bool parsing_only);
  // Counts one row's result.
  void Tally(const RowResult& row);
  // Keeps the row's alerts while there are fewer than kAlertExamples.
  void KeepAlerts(const std::string& id, size_t line, const RowResult& row);
  double RowsPerSecond() const { return seconds > 0 ? read / seconds : 0.0; }
  size_t FiredTogether(size_t a, size_t b) const { return fired_together[a * checks.size() + b]; }
};

// The summary as a person reads it on standard error.
std::string SummaryText(const ScreenSummary& summary);
// The whole summary as one JSON document, for pipelines.
std::string SummaryJson(const ScreenSummary& summary);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SCREEN_SUMMARY_H_
