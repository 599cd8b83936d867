// What a screening run counted, as data: the caller prints it, writes it as JSON, or tests it.
#ifndef TXSCREEN_HOST_SCREEN_SUMMARY_H_
#define TXSCREEN_HOST_SCREEN_SUMMARY_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "row_screener.h"
#include "rule_set.h"

namespace txhost {

struct CheckSummary {
  std::string label;
  std::string library;
  std::string rule;
  size_t hits = 0;
  size_t alerts = 0;
  size_t true_positives = 0;
  size_t false_positives = 0;
  size_t false_negatives = 0;

  // Not defined (empty) when there is nothing to divide by: a check that never fired has no
  // precision, which is not the same as a precision of 0.
  std::optional<double> Precision() const;
  std::optional<double> Recall() const;
};

struct ScreenSummary {
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
  double seconds = 0;

  ScreenSummary(const std::string& input_name, const std::string& rules_path,
                const std::vector<Check>& rule_set, bool backtesting, bool parsing_only);
  // Counts one row's result.
  void Tally(const RowResult& row);
  double RowsPerSecond() const { return seconds > 0 ? read / seconds : 0.0; }
};

// The summary as a person reads it on standard error.
std::string SummaryText(const ScreenSummary& summary);
// The whole summary as one JSON document, for pipelines.
std::string SummaryJson(const ScreenSummary& summary);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SCREEN_SUMMARY_H_
