// From checks to a decision: each check that fired adds its score, and thresholds on the total
// give the row's outcome.
//
// Scores and thresholds are decimals, counted exactly as whole numbers of 10^-scale units, where
// `scale` is the finest precision any of them is written with: a total never drifts as a sum of
// floats would. A rule set without scores has no weights and decides nothing.
#ifndef TXSCREEN_HOST_ENGINE_RULES_DECISIONS_H_
#define TXSCREEN_HOST_ENGINE_RULES_DECISIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace txhost {

// A decimal as written ("-20", "45.5"): `units` of 10^-`scale`.
struct Decimal {
  int64_t units = 0;
  int scale = 0;
  std::string text;  // as written
};

// Reads a plain decimal of at most 15 digits ("-12.50"). False when it is not one.
bool ParseDecimal(const std::string& text, Decimal* decimal);
// Whether two decimals are the same number, however written ("40", "40.0").
bool SameDecimal(const Decimal& a, const Decimal& b);
// `units` at `scale` with exactly `scale` digits after the point ("30.0" for 300 at 1).
std::string FixedDecimalText(int64_t units, int scale);
// The same written to `out`, which holds kMaxFixedDecimal bytes; gives the length.
inline constexpr size_t kMaxFixedDecimal = 48;
size_t WriteFixedDecimal(int64_t units, int scale, char* out);

// The values a threshold is tried with, as a check's literal is.
struct ThresholdSweep {
  std::vector<int64_t> values;     // in units of the decisions' scale
  std::vector<std::string> texts;  // each as the user would write it
  int current = -1;                // the value equal to the threshold itself, or -1
};

struct Outcome {
  std::string name;
  size_t line = 0;
  // From which score it applies, in units of the decisions' scale; none for the first outcome.
  std::optional<int64_t> from;
  std::string from_text;  // as written; empty for the first
  std::optional<ThresholdSweep> sweep;
};

// What one row's fired checks decide.
struct RowDecision {
  int64_t score = 0;  // in units of the decisions' scale
  int outcome = -1;   // index into the outcomes; -1 when the set has none
};

struct Decisions {
  int scale = 0;        // the precision every score and threshold is counted at
  int score_scale = 0;  // the precision the scores are written with, and a row's score shown at
  // Each scored check's place in the screened checks, with its score in units of `scale`.
  std::vector<std::pair<size_t, int64_t>> weights;
  std::vector<Outcome> outcomes;  // lowest first; empty when the set names none
  bool scored = false;            // some check has a score (even a score of 0)

  // The row's score, and the last outcome whose threshold is at or below it (the first outcome
  // below every threshold).
  template <class Fired>
  RowDecision Decide(const Fired& fired) const {
    RowDecision decision;
    for (const auto& [check, score] : weights) decision.score += fired[check] ? score : 0;
    decision.outcome = OutcomeOf(decision.score);
    return decision;
  }
  int OutcomeOf(int64_t score) const {
    if (outcomes.empty()) return -1;
    int at = 0;
    for (size_t o = 1; o < outcomes.size(); ++o) {
      if (*outcomes[o].from <= score) at = static_cast<int>(o);
    }
    return at;
  }
  // A row's score as the results show it: at the precision of the scores.
  std::string ScoreText(int64_t score) const;
  // The same written to `out`, which holds kMaxFixedDecimal bytes; gives the length.
  size_t WriteScore(int64_t score, char* out) const;
  // The same decisions over another list of checks, check c now at `places[c]`.
  Decisions MovedTo(const std::vector<size_t>& places) const;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_DECISIONS_H_
