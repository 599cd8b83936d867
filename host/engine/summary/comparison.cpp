// Pairing two rule sets and counting where they decide differently.
#include "comparison.h"

#include <algorithm>
#include <map>

namespace txhost {

bool SameCall(const Check& a, const Check& b) {
  if (a.rule != b.rule || a.args.size() != b.args.size()) return false;
  for (size_t i = 0; i < a.args.size(); ++i) {
    const CheckArg& x = a.args[i];
    const CheckArg& y = b.args[i];
    if (x.from_column != y.from_column) return false;
    if (x.list || y.list) {
      if (!x.list || !y.list || !x.list->SameValues(*y.list)) return false;
      continue;
    }
    if (x.from_column ? x.column != y.column : !SameValue(x.kind, x.literal, y.literal)) {
      return false;
    }
  }
  return true;
}

namespace {

bool SameScore(const std::optional<Decimal>& a, const std::optional<Decimal>& b) {
  return a.has_value() == b.has_value() && (!a || SameDecimal(*a, *b));
}

}  // namespace

bool SameCheck(const Check& a, const Check& b) {
  if (!SameCall(a, b) || !SameScore(a.score, b.score)) return false;
  if (a.sweep.has_value() != b.sweep.has_value()) return false;
  return !a.sweep || (a.sweep->arg == b.sweep->arg && a.sweep->texts == b.sweep->texts);
}

bool SameOutcomes(const std::vector<Outcome>& a, const std::vector<Outcome>& b) {
  auto same = [](const Outcome& x, const Outcome& y) {
    Decimal from_x, from_y;
    const bool numbers = ParseDecimal(x.from_text, &from_x) && ParseDecimal(y.from_text, &from_y);
    const bool same_from = numbers ? SameDecimal(from_x, from_y) : x.from_text == y.from_text;
    const bool same_sweep = x.sweep.has_value() == y.sweep.has_value() &&
                            (!x.sweep || x.sweep->texts == y.sweep->texts);
    return x.name == y.name && same_from && same_sweep;
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
}

namespace {

// When both checks have a list at the same argument, the values the draft added and removed.
void AddListChange(const Check& draft, const Check& live, std::vector<ListChange>* changes) {
  if (draft.list_arg < 0 || draft.list_arg != live.list_arg) return;
  const TextList& now = *draft.args[draft.list_arg].list;
  const TextList& before = *live.args[live.list_arg].list;
  ListChange change{draft.label, now.CountMissingFrom(before), before.CountMissingFrom(now)};
  if (change.added > 0 || change.removed > 0) changes->push_back(change);
}

}  // namespace

RuleSetPair PairRuleSets(std::vector<Check> draft, const std::vector<Check>& live,
                         const Decisions& draft_decisions, const Decisions& live_decisions) {
  RuleSetPair pair;
  pair.draft_decisions = draft_decisions;
  pair.draft_size = draft.size();
  pair.checks = std::move(draft);
  // By place, not address: the live set's own checks are added to the same vector.
  std::map<std::string, size_t> draft_by_label;
  for (size_t d = 0; d < pair.draft_size; ++d) draft_by_label[pair.checks[d].label] = d;
  for (const Check& check : live) {
    pair.live_labels.push_back(check.label);
    auto same = std::find_if(pair.checks.begin(), pair.checks.begin() + pair.draft_size,
                             [&](const Check& d) { return SameCall(d, check); });
    if (same != pair.checks.begin() + pair.draft_size) {
      pair.live.push_back(static_cast<size_t>(same - pair.checks.begin()));
    } else {
      pair.live.push_back(pair.checks.size());
      pair.checks.push_back(check);
      pair.checks.back().sweep.reset();                  // the sweep's figures are the draft's
      pair.checks.back().label = "live:" + check.label;  // told apart from a draft check's alerts
    }
    auto named = draft_by_label.find(check.label);
    if (named == draft_by_label.end()) {
      pair.removed.push_back(check.label);
    } else if (!SameCheck(pair.checks[named->second], check)) {
      pair.changed.push_back(check.label);
      AddListChange(pair.checks[named->second], check, &pair.list_changes);
    }
  }
  for (size_t d = 0; d < pair.draft_size; ++d) {
    const std::string& label = pair.checks[d].label;
    if (std::find(pair.live_labels.begin(), pair.live_labels.end(), label) ==
        pair.live_labels.end()) {
      pair.added.push_back(label);
    }
  }
  pair.live_decisions = live_decisions.MovedTo(pair.live);
  pair.outcomes_changed = !SameOutcomes(draft_decisions.outcomes, live_decisions.outcomes);
  return pair;
}

std::vector<std::string> RuleSetPair::OutcomeNames(bool draft) const {
  const std::vector<Outcome>& outcomes = DecisionsOf(draft).outcomes;
  if (outcomes.empty()) return {"clear", "flagged"};
  std::vector<std::string> names;
  for (const Outcome& outcome : outcomes) names.push_back(outcome.name);
  return names;
}

int SideOutcome(const RuleSetPair& pair, const RowResult& row, bool draft) {
  if (!pair.DecisionsOf(draft).outcomes.empty()) {
    return draft ? row.decision.outcome : row.live_decision.outcome;
  }
  const std::vector<char>& fired = row.fired;
  if (draft) {
    return std::any_of(fired.begin(), fired.begin() + pair.draft_size, [](char f) { return f; });
  }
  return std::any_of(pair.live.begin(), pair.live.end(), [&](size_t c) { return fired[c]; });
}

bool Changes(const RuleSetPair& pair, const RowResult& row) {
  const int draft = SideOutcome(pair, row, true), live = SideOutcome(pair, row, false);
  const std::vector<Outcome>&draft_outcomes = pair.draft_decisions.outcomes,
  &live_outcomes = pair.live_decisions.outcomes;
  if (!draft_outcomes.empty() && !live_outcomes.empty()) {
    return draft_outcomes[draft].name != live_outcomes[live].name;
  }
  return (draft > 0) != (live > 0);
}

ChangedRow DescribeChange(const RuleSetPair& pair, std::string_view id, size_t line,
                          const RowResult& row) {
  const int draft = SideOutcome(pair, row, true), live = SideOutcome(pair, row, false);
  ChangedRow change{std::string(id), line, "", {}, {}, pair.OutcomeNames(true)[draft],
                    pair.OutcomeNames(false)[live]};
  change.flagged_by = draft > 0 ? (live > 0 ? "both" : "draft") : live > 0 ? "live" : "neither";
  for (size_t d = 0; d < pair.draft_size; ++d) {
    if (row.fired[d]) change.draft_checks.push_back(pair.checks[d].label);
  }
  for (size_t l = 0; l < pair.live.size(); ++l) {
    if (row.fired[pair.live[l]]) change.live_checks.push_back(pair.live_labels[l]);
  }
  return change;
}

void Comparison::Tally(std::string_view id, size_t line, const RowResult& row, int outcome) {
  const int draft_outcome = SideOutcome(pair, row, true);
  const int live_outcome = SideOutcome(pair, row, false);
  const bool draft = draft_outcome > 0, live = live_outcome > 0;
  both += draft && live;
  draft_only += draft && !live;
  live_only += live && !draft;
  neither += !draft && !live;
  ++outcome_pairs[{live_outcome, draft_outcome}];
  draft_flags.Add(draft, outcome);
  live_flags.Add(live, outcome);
  if (outcome >= 0) {
    fraud_newly_caught += outcome == 1 && draft && !live;
    fraud_newly_missed += outcome == 1 && live && !draft;
    false_alarms_added += outcome == 0 && draft && !live;
    false_alarms_removed += outcome == 0 && live && !draft;
  }
  if (first_changes.size() < kChangedExamples && Changes(pair, row)) {
    first_changes.push_back(DescribeChange(pair, id, line, row));
  }
}

}  // namespace txhost
