// Outcome lines, and the decisions of a rule set's scores and thresholds.
#include "outcome_lines.h"

#include <algorithm>
#include <set>

#include "sweeps.h"

namespace txhost {
namespace {

constexpr char kOutcomeSyntax[] =
    "an outcome is written outcome NAME, or outcome NAME from SCORE, optionally followed by "
    "in [SET]; outcome is a reserved word and cannot label a check";

// The values of a threshold's sweep, as decimals: a range or a list of numbers.
bool ParseThresholdSet(const std::string& set, std::vector<Decimal>* values, std::string* problem) {
  const std::string inner = Trim(set.substr(1, set.size() - 2));
  if (inner.empty()) {
    *problem = "the set [] is empty";
    return false;
  }
  std::vector<std::string> texts;
  if (inner.find("..") != std::string::npos) {
    std::vector<int64_t> units;
    int scale = 0;
    if (!ParseDecimalRange(inner, &units, &texts, &scale, problem)) return false;
  } else {
    texts = SplitList(inner);
    if (texts.size() > kMaxSweepValues) {
      *problem = "a sweep has at most " + std::to_string(kMaxSweepValues) + " values";
      return false;
    }
  }
  for (const std::string& text : texts) {
    values->emplace_back();
    if (!ParseDecimal(text, &values->back())) {
      *problem = "its values are scores, but " + BadValue(text, "is not a decimal number");
      return false;
    }
  }
  return true;
}

// The most units a score, a threshold or a row's score may count: 18 digits.
constexpr int64_t kMaxUnits = 999999999999999999;

// `decimal` in units of 10^-scale; false when that many units would not be exact in 18 digits.
bool Rescale(const Decimal& decimal, int scale, int64_t* units) {
  *units = decimal.units;
  for (int s = decimal.scale; s < scale; ++s) {
    if (*units > kMaxUnits / 10 || *units < -kMaxUnits / 10) return false;
    *units *= 10;
  }
  return true;
}

}  // namespace

void ParseOutcomeLine(const std::vector<std::string>& words, size_t number,
                      std::vector<OutcomeLine>* outcomes, RuleProblems* problems) {
  auto problem = [&](const std::string& message) { problems->push_back({number, message}); };
  const size_t n = words.size();
  const bool shaped = (n == 2 || n == 4 || n == 6) && (n < 4 || words[2] == "from") &&
                      (n < 6 || (words[4] == "in" && words[5][0] == '['));
  if (!shaped) {
    problem(n > 6 && words[n - 2] == "in" ? "a threshold may be swept once, not twice"
                                          : kOutcomeSyntax);
    return;
  }
  OutcomeLine outcome;
  outcome.name = words[1];
  outcome.line = number;
  if (!IsLabel(outcome.name)) {
    problem("the outcome \"" + outcome.name + "\" is not a plain name" + kPlainName);
  }
  if (n >= 4) {
    outcome.from.emplace();
    if (!ParseDecimal(words[3], &*outcome.from)) {
      problem("the threshold " + words[3] + " is not a decimal number of at most 15 digits");
      return;
    }
  }
  if (n == 6) {
    std::string reason;
    outcome.sweep_set = words[5];
    if (!ParseThresholdSet(words[5], &outcome.sweep, &reason)) {
      problem("the sweep " + words[5] + ": " + reason);
      return;
    }
  }
  outcomes->push_back(std::move(outcome));
}

void CheckOutcomes(const std::vector<Check>& checks, const std::vector<OutcomeLine>& outcomes,
                   RuleProblems* problems) {
  if (outcomes.empty()) return;
  if (std::none_of(checks.begin(), checks.end(), [](const Check& c) { return c.score; })) {
    problems->push_back({outcomes[0].line, "outcomes decide on a score, but no check has one"});
  }
  std::set<std::string> names;
  for (size_t o = 0; o < outcomes.size(); ++o) {
    const OutcomeLine& outcome = outcomes[o];
    auto problem = [&](const std::string& message) {
      problems->push_back({outcome.line, message});
    };
    if (!names.insert(outcome.name).second)
      problem("the outcome " + outcome.name + " is named twice");
    if (o == 0 && outcome.from) {
      problem("the first outcome applies below every threshold, so it takes no from");
    } else if (o > 0 && !outcome.from) {
      problem("the outcome " + outcome.name + " needs its threshold: from SCORE");
    } else if (o > 1 && outcomes[o - 1].from) {
      const Decimal &lower = *outcomes[o - 1].from, &upper = *outcome.from;
      const int scale = std::max(lower.scale, upper.scale);
      int64_t a = lower.units, b = upper.units;
      for (int s = lower.scale; s < scale; ++s) a *= 10;
      for (int s = upper.scale; s < scale; ++s) b *= 10;
      if (b <= a) {
        problem("the threshold of " + outcome.name + " (" + upper.text +
                ") must rise above that of " + outcomes[o - 1].name + " (" + lower.text + ")");
      }
    }
  }
}

Decisions BuildDecisions(const std::vector<Check>& checks, const std::vector<OutcomeLine>& lines,
                         RuleProblems* problems) {
  Decisions decisions;
  for (const Check& check : checks) {
    if (!check.score) continue;
    decisions.scored = true;
    decisions.score_scale = std::max(decisions.score_scale, check.score->scale);
  }
  decisions.scale = decisions.score_scale;
  for (const OutcomeLine& line : lines) {
    if (line.from) decisions.scale = std::max(decisions.scale, line.from->scale);
    for (const Decimal& value : line.sweep)
      decisions.scale = std::max(decisions.scale, value.scale);
  }
  const std::string too_fine =
      " has too many digits at the finest precision of the set's scores and thresholds";
  int64_t total = 0;  // the largest a row's score can be, so that no sum overflows
  for (size_t c = 0; c < checks.size(); ++c) {
    if (!checks[c].score) continue;
    int64_t units = 0;
    if (!Rescale(*checks[c].score, decisions.scale, &units)) {
      problems->push_back({checks[c].line, "the score " + checks[c].score->text + too_fine});
      continue;
    }
    if (__builtin_add_overflow(total, units < 0 ? -units : units, &total) || total > kMaxUnits) {
      problems->push_back({checks[c].line, "with the score " + checks[c].score->text +
                                               ", the scores' sum can pass 18 digits at the "
                                               "finest precision of the set's scores and "
                                               "thresholds, and could not be counted exactly"});
      continue;
    }
    decisions.weights.emplace_back(c, units);
  }
  for (const OutcomeLine& line : lines) {
    Outcome outcome;
    outcome.name = line.name;
    outcome.line = line.line;
    int64_t units = 0;
    if (line.from) {
      if (!Rescale(*line.from, decisions.scale, &units)) {
        problems->push_back({line.line, "the threshold " + line.from->text + too_fine});
      }
      outcome.from = units;
      outcome.from_text = line.from->text;
    }
    if (!line.sweep.empty()) {
      ThresholdSweep sweep;
      for (const Decimal& value : line.sweep) {
        int64_t v = 0;
        if (!Rescale(value, decisions.scale, &v)) {
          problems->push_back({line.line, "the sweep's value " + value.text + too_fine});
        }
        if (line.from && v == units && sweep.current < 0) {
          sweep.current = static_cast<int>(sweep.values.size());
        }
        sweep.values.push_back(v);
        sweep.texts.push_back(value.text);
      }
      outcome.sweep = std::move(sweep);
    }
    decisions.outcomes.push_back(std::move(outcome));
  }
  return decisions;
}

}  // namespace txhost
