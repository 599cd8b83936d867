// One transaction at a time, as a payment waits on it: the live rule set bound to the columns it
// reads (and a shadow draft beside it), screened on a worker's session by the RowScreener that
// screens a file's rows, and the answer its caller gets. The server and Python's decide share it.
#ifndef TXSCREEN_HOST_ENGINE_RUN_TRANSACTION_DECISION_H_
#define TXSCREEN_HOST_ENGINE_RUN_TRANSACTION_DECISION_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comparison.h"
#include "json_line.h"
#include "row_screener.h"
#include "rule_set.h"

namespace txhost {

struct DecisionPlan {
  std::vector<std::string> header;  // the id column first, then each column a check reads, once
  size_t id_column = 0;
  // The shadow draft's checks, then the live set's that it does not repeat; without a shadow the
  // live set is its own draft. Sweeps are left out: a transaction gets one answer.
  RuleSetPair pair;
  bool shadowed = false;
  bool needs_database = false;
  // Each live check's label as a JSON key, `"label":`, written once rather than per answer.
  std::vector<std::string> live_keys;

  RowLayout Layout() const { return {header.size(), id_column, -1, -1}; }
  RowDeciders Deciders() const;
};

// `live` and `shadow` (when not null) bound to the columns they read. Null with every problem as
// "path:line: message" when either cannot be used.
std::unique_ptr<DecisionPlan> PlanDecisions(RuleSet& live, RuleSet* shadow,
                                            const std::string& id_column,
                                            std::vector<std::string>* problems);

// Decides one transaction after another on one worker's session.
class TransactionDecider {
 public:
  explicit TransactionDecider(const DecisionPlan& plan)
      : plan_(plan),
        screener_(plan.pair.checks, plan.header, plan.Layout(), false, false, plan.Deciders()) {}

  const DecisionPlan& plan() const { return plan_; }
  // `record` holds plan().header's fields. A reject says why it could not be screened; a result
  // with on_lost_session set was screened on a session that is gone.
  void Decide(const CsvRecord& record, const OciHandles& handles, RowResult* result) {
    screener_.Screen(record, handles, result);
  }

 private:
  const DecisionPlan& plan_;
  RowScreener screener_;
};

// The live set's label of the check at `place` in plan.pair.checks, or null for a check of the
// draft alone.
const std::string* LiveLabel(const DecisionPlan& plan, size_t place);
// The labels of the live set's checks that fired.
std::vector<std::string> LiveFiredLabels(const DecisionPlan& plan, const RowResult& result);

// Whether the live set stops the transaction: its outcome is not its first or, in a set without
// outcomes, a check fired.
bool LiveFlags(const DecisionPlan& plan, const RowResult& result);

// The live set's answer as a JSON object: id, checks (label: 0 or 1), flagged, alerts (label,
// rule, text), and score and outcome when the set has them.
std::string AnswerJson(const DecisionPlan& plan, std::string_view id, const RowResult& result);
// The same, appended to `out`: a batch's answers go into one body.
void AppendAnswerJson(const DecisionPlan& plan, std::string_view id, const RowResult& result,
                      std::string* out);
// What stands for a transaction of a batch that could not be screened: its id and the reason.
std::string RejectedJson(std::string_view id, std::string_view reason);
// The JSON line that traces the answer to its rule set: id, time (UTC), the checks that fired,
// score, outcome, alerts and the rule set's SHA-256; open for what the caller adds.
JsonObject AuditJson(const DecisionPlan& plan, std::string_view id, const RowResult& result,
                     std::string_view time, std::string_view rules_sha256);
// With a shadow, the JSON line of a transaction the draft decides otherwise: id, each side's
// outcome and the checks that fired on one side only, open for what the caller adds. None when
// both decide alike.
std::optional<JsonObject> ShadowChangeJson(const DecisionPlan& plan, std::string_view id,
                                           const RowResult& result);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RUN_TRANSACTION_DECISION_H_
