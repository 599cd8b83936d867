// Working out outcomes, swept thresholds and the backtest of stopping from the rows by score.
#include "decision_summary.h"

#include <algorithm>

#include "summary_json.h"

namespace txhost {

std::vector<std::pair<int64_t, ScoreCount>> DecisionSummary::Distribution() const {
  std::vector<std::pair<int64_t, ScoreCount>> scores(by_score_.begin(), by_score_.end());
  std::sort(scores.begin(), scores.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return scores;
}

FiringCounts DecisionSummary::AtLeast(int64_t threshold) const {
  FiringCounts counts;
  for (const auto& [score, count] : by_score_) {
    const bool stopped = score >= threshold;
    counts.hits += stopped ? count.rows : 0;
    counts.true_positives += stopped ? count.fraud : 0;
    counts.false_positives += stopped ? count.genuine : 0;
    counts.false_negatives += stopped ? 0 : count.fraud;
  }
  return counts;
}

std::vector<ScoreCount> DecisionSummary::RowsPerOutcome() const {
  std::vector<ScoreCount> rows(decisions_.outcomes.size());
  for (const auto& [score, count] : by_score_) {
    const int outcome = decisions_.OutcomeOf(score);
    if (outcome >= 0) rows[outcome] += count;
  }
  return rows;
}

namespace {

nlohmann::json SweepJson(const DecisionSummary& summary, const Outcome& outcome, bool backtest) {
  const ThresholdSweep& sweep = *outcome.sweep;
  nlohmann::json values = nlohmann::json::array();
  for (size_t v = 0; v < sweep.values.size(); ++v) {
    const FiringCounts counts = summary.AtLeast(sweep.values[v]);
    nlohmann::json point = {{"value", sweep.texts[v]}, {"hits", counts.hits}};
    if (backtest) AddBacktestJson(counts, &point);
    values.push_back(std::move(point));
  }
  return {{"current", outcome.from_text},
          {"current_index",
           sweep.current >= 0 ? nlohmann::json(sweep.current) : nlohmann::json(nullptr)},
          {"values", std::move(values)}};
}

// What stopping the rows whose outcome is not the first catches.
FiringCounts Stopped(const DecisionSummary& summary) {
  const std::vector<Outcome>& outcomes = summary.decisions().outcomes;
  if (outcomes.size() >= 2) return summary.AtLeast(*outcomes[1].from);
  FiringCounts none;  // one outcome stops nothing, and misses every fraud
  for (const auto& [score, count] : summary.Distribution()) none.false_negatives += count.fraud;
  return none;
}

}  // namespace

void DecisionSummary::AddJson(bool backtest, nlohmann::json* summary) const {
  nlohmann::json distribution = nlohmann::json::array();
  for (const auto& [score, count] : Distribution()) {
    nlohmann::json entry = {{"score", decisions_.ScoreText(score)}, {"rows", count.rows}};
    if (backtest) {
      entry["fraud"] = count.fraud;
      entry["genuine"] = count.genuine;
    }
    distribution.push_back(std::move(entry));
  }
  (*summary)["score_distribution"] = std::move(distribution);
  if (decisions_.outcomes.empty()) return;
  const std::vector<ScoreCount> rows = RowsPerOutcome();
  nlohmann::json outcomes = nlohmann::json::array();
  for (size_t o = 0; o < decisions_.outcomes.size(); ++o) {
    const Outcome& outcome = decisions_.outcomes[o];
    nlohmann::json entry = {
        {"name", outcome.name},
        {"from", outcome.from ? nlohmann::json(outcome.from_text) : nlohmann::json(nullptr)},
        {"rows", rows[o].rows}};
    if (backtest) {
      entry["fraud"] = rows[o].fraud;
      entry["genuine"] = rows[o].genuine;
    }
    if (outcome.sweep) entry["sweep"] = SweepJson(*this, outcome, backtest);
    outcomes.push_back(std::move(entry));
  }
  (*summary)["outcomes"] = std::move(outcomes);
  const FiringCounts stopped = Stopped(*this);
  nlohmann::json decisions = {{"stopped", stopped.hits}};
  if (backtest) AddBacktestJson(stopped, &decisions);
  (*summary)["decisions"] = std::move(decisions);
}

std::string DecisionSummary::Text(bool backtest) const {
  if (decisions_.outcomes.empty()) return "";
  const std::vector<ScoreCount> rows = RowsPerOutcome();
  std::string text = "outcomes:";
  for (size_t o = 0; o < decisions_.outcomes.size(); ++o) {
    const Outcome& outcome = decisions_.outcomes[o];
    text += (o > 0 ? ", " : " ") + outcome.name + " " + std::to_string(rows[o].rows);
    if (backtest) {
      text += " (fraud " + std::to_string(rows[o].fraud) + ", genuine " +
              std::to_string(rows[o].genuine) + ")";
    }
  }
  const FiringCounts stopped = Stopped(*this);
  text += "\n  stopped " + std::to_string(stopped.hits);
  if (backtest) {
    text += ": TP " + std::to_string(stopped.true_positives) + ", FP " +
            std::to_string(stopped.false_positives) + ", FN " +
            std::to_string(stopped.false_negatives) + ", precision " +
            Percent(stopped.Precision()) + ", recall " + Percent(stopped.Recall());
  }
  text += "\n";
  for (const Outcome& outcome : decisions_.outcomes) {
    if (!outcome.sweep) continue;
    text += "  " + outcome.name + " from " + outcome.from_text + " swept over " +
            std::to_string(outcome.sweep->values.size()) +
            " thresholds: each value's figures are in --summary and --report\n";
  }
  return text;
}

}  // namespace txhost
