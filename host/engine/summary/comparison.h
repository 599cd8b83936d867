// A draft rule set screened beside the live one, in one pass over the rows: which rows each set
// stops, how that changes caught fraud and false alarms, which outcomes move, and which checks
// differ.
//
// A set with outcomes stops a row whose outcome is not its first; a set without them has the two
// outcomes "clear" and "flagged", and flags a row when at least one of its checks fires. When both
// sets have outcomes a row changes when its outcome's name differs; otherwise when one set stops
// it and the other does not. SideOutcome and Changes are the one place that decides.
#ifndef TXSCREEN_HOST_ENGINE_SUMMARY_COMPARISON_H_
#define TXSCREEN_HOST_ENGINE_SUMMARY_COMPARISON_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firing_counts.h"
#include "row_screener.h"
#include "rule_set.h"

namespace txhost {

// A check of both sets whose list's values differ: how many the draft added and removed.
struct ListChange {
  std::string label;
  size_t added = 0, removed = 0;
};

// The two sets as one list of checks: the draft's, then each live check that no draft check
// repeats (same library, rule and arguments), so that a check both sets have is called once.
struct RuleSetPair {
  std::vector<Check> checks;
  size_t draft_size = 0;     // the draft's checks come first
  std::vector<size_t> live;  // each live check's place in `checks`
  std::vector<std::string> live_labels;
  // Matched by label: only in the draft, only in the live set, in both with other arguments.
  std::vector<std::string> added, removed, changed;
  std::vector<ListChange> list_changes;  // of the changed checks whose lists differ
  bool outcomes_changed = false;         // whether the outcome lines differ
  // Each set's scores and outcomes, their weights in terms of `checks`.
  Decisions draft_decisions, live_decisions;

  const Decisions& DecisionsOf(bool draft) const { return draft ? draft_decisions : live_decisions; }
  // The names of a side's outcomes, lowest first.
  std::vector<std::string> OutcomeNames(bool draft) const;
};

// Whether two checks call the same rule with the same arguments: one call answers for both.
bool SameCall(const Check& a, const Check& b);
// Whether two checks are the same in every part: the call, the sweep and the score.
bool SameCheck(const Check& a, const Check& b);
// Whether two sets' outcome lines are the same: names, thresholds and their sweeps.
bool SameOutcomes(const std::vector<Outcome>& a, const std::vector<Outcome>& b);

RuleSetPair PairRuleSets(std::vector<Check> draft, const std::vector<Check>& live,
                         const Decisions& draft_decisions = {},
                         const Decisions& live_decisions = {});

// The outcome (an index into OutcomeNames) that the draft (`draft` true) or the live set gives the
// row `row` describes. A side stops the row when it is above 0.
int SideOutcome(const RuleSetPair& pair, const RowResult& row, bool draft);
// Whether the two sets decide the row differently.
bool Changes(const RuleSetPair& pair, const RowResult& row);

// A row the two sets decide differently.
struct ChangedRow {
  std::string id;
  size_t line = 0;
  std::string flagged_by;  // which sets stop it: "draft", "live", "both" or "neither"
  std::vector<std::string> draft_checks, live_checks;  // the labels that fired on each side
  std::string draft_outcome, live_outcome;
};

ChangedRow DescribeChange(const RuleSetPair& pair, std::string_view id, size_t line,
                          const RowResult& row);

struct Comparison {
  static constexpr size_t kChangedExamples = 20;

  Comparison(RuleSetPair compared, std::string baseline_path)
      : pair(std::move(compared)), baseline(std::move(baseline_path)) {}

  // Counts one screened row; `outcome` is 1, 0, or -1 when it is left out of the backtest.
  void Tally(std::string_view id, size_t line, const RowResult& row, int outcome);

  RuleSetPair pair;
  std::string baseline;
  size_t both = 0, live_only = 0, draft_only = 0, neither = 0;
  // With known outcomes: the frauds and genuine rows flagged by one set and not the other.
  size_t fraud_newly_caught = 0, fraud_newly_missed = 0;
  size_t false_alarms_added = 0, false_alarms_removed = 0;
  FiringCounts draft_flags, live_flags;  // each set's flagged rows against the outcomes
  std::vector<ChangedRow> first_changes;
  // Rows per pair of outcomes (live, draft), as indices into each side's OutcomeNames.
  std::map<std::pair<int, int>, size_t> outcome_pairs;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SUMMARY_COMPARISON_H_
