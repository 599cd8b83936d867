// What a screening run counted, as data: the caller prints it, writes it as JSON, or tests it.
#ifndef TXSCREEN_HOST_ENGINE_SUMMARY_SCREEN_SUMMARY_H_
#define TXSCREEN_HOST_ENGINE_SUMMARY_SCREEN_SUMMARY_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "comparison.h"
#include "decision_summary.h"
#include "firing_counts.h"
#include "row_screener.h"
#include "rule_set.h"

namespace txhost {

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
  // With a list: the list, and the hits of each of its values that the check fired with.
  std::shared_ptr<const TextList> list;
  std::unordered_map<int64_t, size_t> list_hits;
  static constexpr size_t kTopListValues = 10;
  // The `most` values that fired most, most first, ties in the order of their bytes.
  std::vector<std::pair<std::string, size_t>> TopListValues(size_t most = kTopListValues) const;
};

// An alert as the report lists it.
struct AlertExample {
  std::string id;
  size_t line = 0;
  std::string label;
  std::string rule;
  std::string text;
  std::string value;  // the sweep's value that raised it; empty for the check's own
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
  // How many of a list's values that fired the JSON gives: a run's parts give them all, so that
  // their sum is exact.
  size_t list_values_given = CheckSummary::kTopListValues;
  std::map<std::string, size_t> rejects_by_reason;
  std::vector<CheckSummary> checks;
  // Per check, when a date is read; unordered while counting, since every row looks its day up.
  std::unordered_map<std::string, std::vector<size_t>> hits_by_day;
  // Rows on which two checks both fired, for each pair that did, by PairKey: a row adds to the
  // pairs of the checks that fired on it, so the cost follows what fires, never checks x checks.
  // Bounded: a row on which more than kMostFiredForPairs checks fired adds to no pair, and at
  // most kMostPairs pairs are kept; either makes the pairs incomplete, which the summary says.
  static constexpr size_t kMostFiredForPairs = 64;
  static constexpr size_t kMostPairs = 100000;
  std::unordered_map<uint64_t, size_t> fired_together;
  bool fired_together_complete = true;
  std::vector<AlertExample> first_alerts;
  double seconds = 0;
  // With a live rule set beside the draft: where the two decide differently.
  std::optional<Comparison> comparison;
  // With a rule set that scores: what it decided.
  std::optional<DecisionSummary> decisions;

  // The figures of the first `reported` checks of `rule_set` (all by default); the others (a live
  // set's own checks) only raise alerts.
  ScreenSummary(const std::string& input_name, const std::string& rules_path,
                const std::vector<Check>& rule_set, bool backtesting, bool parsing_only,
                size_t reported = static_cast<size_t>(-1));
  // Counts one row's result, and keeps its alerts while there are fewer than kAlertExamples.
  void Tally(std::string_view id, size_t line, const RowResult& row);
  double RowsPerSecond() const { return seconds > 0 ? read / seconds : 0.0; }
  static uint64_t PairKey(size_t a, size_t b) {  // a < b
    return (static_cast<uint64_t>(a) << 32) | static_cast<uint64_t>(b);
  }
  size_t FiredTogether(size_t a, size_t b) const {
    auto found = fired_together.find(PairKey(std::min(a, b), std::max(a, b)));
    return found == fired_together.end() ? 0 : found->second;
  }

 private:
  void KeepAlerts(std::string_view id, size_t line, const RowResult& row);
  // Adds the row whose fired checks are in fired_now_ to the pairs.
  void CountPairs();

  std::vector<std::pair<std::string, std::string>> alert_sources_;  // label and rule, per check
  std::vector<size_t> fired_now_;  // the checks that fired on the row being counted
};

// The summary as a person reads it on standard error.
std::string SummaryText(const ScreenSummary& summary);
// The whole summary as one JSON document, for pipelines.
std::string SummaryJson(const ScreenSummary& summary);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SUMMARY_SCREEN_SUMMARY_H_
