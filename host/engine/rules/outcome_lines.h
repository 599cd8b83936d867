// Outcome lines ("outcome NAME [from SCORE [in [SET]]]") and the decisions that they and the
// checks' scores make together.
#ifndef TXSCREEN_HOST_ENGINE_RULES_OUTCOME_LINES_H_
#define TXSCREEN_HOST_ENGINE_RULES_OUTCOME_LINES_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "decisions.h"
#include "rule_set.h"
#include "rule_words.h"

namespace txhost {

// An outcome line as written: its threshold and sweep still decimals of their own precision.
struct OutcomeLine {
  std::string name;
  size_t line = 0;
  std::optional<Decimal> from;
  std::vector<Decimal> sweep;
  std::string sweep_set;
};

// Reads the line `words` (its first word is "outcome"), number `number`, into `outcomes`, or adds
// its problem.
void ParseOutcomeLine(const std::vector<std::string>& words, size_t number,
                      std::vector<OutcomeLine>* outcomes, RuleProblems* problems);

// The scores and thresholds checked against each other: each threshold above the one before, each
// name once, and outcomes only where some check has a score.
void CheckOutcomes(const std::vector<Check>& checks, const std::vector<OutcomeLine>& outcomes,
                   RuleProblems* problems);

// The decisions of a valid set: every score and threshold counted at the finest precision used.
// A score or threshold that cannot be counted exactly at that precision is a problem.
Decisions BuildDecisions(const std::vector<Check>& checks, const std::vector<OutcomeLine>& lines,
                         RuleProblems* problems);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_OUTCOME_LINES_H_
