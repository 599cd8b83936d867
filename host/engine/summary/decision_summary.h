// What a rule set that scores decided over a run: its rows by score and label, from which every
// outcome's rows, each swept threshold's figures and the backtest of stopping are worked out.
#ifndef TXSCREEN_HOST_ENGINE_SUMMARY_DECISION_SUMMARY_H_
#define TXSCREEN_HOST_ENGINE_SUMMARY_DECISION_SUMMARY_H_

#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "decisions.h"
#include "firing_counts.h"

namespace txhost {

// Rows that share a score, by what their label says.
struct ScoreCount {
  size_t rows = 0;
  size_t fraud = 0;
  size_t genuine = 0;

  ScoreCount& operator+=(const ScoreCount& other) {
    rows += other.rows;
    fraud += other.fraud;
    genuine += other.genuine;
    return *this;
  }
};

class DecisionSummary {
 public:
  explicit DecisionSummary(Decisions decisions) : decisions_(std::move(decisions)) {}
  // The map's elements are pointed at: a copy points at its own.
  DecisionSummary(const DecisionSummary& other)
      : decisions_(other.decisions_), by_score_(other.by_score_) {}
  DecisionSummary& operator=(const DecisionSummary& other) {
    decisions_ = other.decisions_;
    by_score_ = other.by_score_;
    last_ = nullptr;
    return *this;
  }

  // One screened row; `label` is 1, 0, or -1 when it is left out of the backtest. A row's score
  // is all that is kept: a threshold is tried on the counts, never on the rows again.
  void Tally(const RowDecision& decision, int label) {
    // Most rows score what one of few rows before them scored; an element of the map stays where
    // it is when the map grows.
    if (last_ == nullptr || last_score_ != decision.score) {
      last_ = &by_score_[decision.score];
      last_score_ = decision.score;
    }
    ++last_->rows;
    last_->fraud += label == 1;
    last_->genuine += label == 0;
  }

  const Decisions& decisions() const { return decisions_; }
  // Each score that occurred, lowest first, with its rows.
  std::vector<std::pair<int64_t, ScoreCount>> Distribution() const;
  // The rows whose score is at least `threshold`, against the labels: stopping exactly them.
  FiringCounts AtLeast(int64_t threshold) const;
  // The rows of each outcome, lowest first.
  std::vector<ScoreCount> RowsPerOutcome() const;

  // `outcomes`, `decisions` and `score_distribution` as the summary holds them; the backtest's
  // figures only when `backtest`.
  void AddJson(bool backtest, nlohmann::json* summary) const;
  // The same in a few lines for a person.
  std::string Text(bool backtest) const;

 private:
  Decisions decisions_;
  std::unordered_map<int64_t, ScoreCount> by_score_;
  ScoreCount* last_ = nullptr;  // the count of the last row's score
  int64_t last_score_ = 0;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SUMMARY_DECISION_SUMMARY_H_
