// Binding a rule set to the fields of a transaction, and the answers and lines it gives.
#include "transaction_decision.h"

#include <algorithm>

#include "json_line.h"
#include "session_pool.h"

namespace txhost {
namespace {

std::string JsonList(const std::vector<std::string>& texts) {
  std::string list = "[";
  for (const std::string& text : texts) list += (list.size() > 1 ? "," : "") + JsonString(text);
  return list + "]";
}

// The live set's alerts, each with its check's label and rule.
std::string AlertsJson(const DecisionPlan& plan, const RowResult& result) {
  const RuleSetPair& pair = plan.pair;
  std::string alerts = "[";
  for (const RaisedAlert& alert : result.alerts) {
    const std::string* label = LiveLabel(plan, alert.check);
    if (label == nullptr || !alert.value.empty()) continue;
    JsonObject entry;
    entry.Text("label", *label).Text("rule", pair.checks[alert.check].rule->name).Text("text",
                                                                                        alert.text);
    alerts += (alerts.size() > 1 ? "," : "") + entry.Close();
  }
  return alerts + "]";
}

// The live set's score and outcome, when it has them.
void AddDecision(const RuleSetPair& pair, const RowResult& result, JsonObject* object) {
  const Decisions& decisions = pair.live_decisions;
  if (!decisions.scored) return;
  object->Number("score", decisions.ScoreText(result.live_decision.score));
  if (!decisions.outcomes.empty()) {
    object->Text("outcome", decisions.outcomes[result.live_decision.outcome].name);
  }
}

}  // namespace

const std::string* LiveLabel(const DecisionPlan& plan, size_t place) {
  const RuleSetPair& pair = plan.pair;
  auto at = std::find(pair.live.begin(), pair.live.end(), place);
  return at == pair.live.end() ? nullptr : &pair.live_labels[at - pair.live.begin()];
}

std::vector<std::string> LiveFiredLabels(const DecisionPlan& plan, const RowResult& result) {
  const RuleSetPair& pair = plan.pair;
  std::vector<std::string> labels;
  for (size_t l = 0; l < pair.live.size(); ++l) {
    if (result.fired[pair.live[l]]) labels.push_back(pair.live_labels[l]);
  }
  return labels;
}

RowDeciders DecisionPlan::Deciders() const {
  return {pair.draft_decisions.scored ? &pair.draft_decisions : nullptr,
          pair.live_decisions.scored ? &pair.live_decisions : nullptr};
}

std::unique_ptr<DecisionPlan> PlanDecisions(RuleSet& live, RuleSet* shadow,
                                            const std::string& id_column,
                                            std::vector<std::string>* problems) {
  const size_t before = problems->size();
  for (RuleSet* set : {&live, shadow}) {
    if (set == nullptr) continue;
    std::vector<std::string> found = set->Problems();
    problems->insert(problems->end(), found.begin(), found.end());
  }
  if (problems->size() > before) return nullptr;
  auto plan = std::make_unique<DecisionPlan>();
  plan->header.push_back(id_column);
  for (RuleSet* set : {&live, shadow}) {
    if (set == nullptr) continue;
    for (std::string& column : set->ColumnsRead()) {
      if (std::find(plan->header.begin(), plan->header.end(), column) == plan->header.end()) {
        plan->header.push_back(std::move(column));
      }
    }
  }
  Decisions live_decisions, draft_decisions;
  std::vector<Check> live_checks = live.Bind(plan->header, problems, &live_decisions);
  RefuseLabelsLikeTheId(live_checks, id_column, live.path(), problems);
  std::vector<Check> draft_checks = live_checks;
  draft_decisions = live_decisions;
  if (shadow != nullptr) {
    draft_checks = shadow->Bind(plan->header, problems, &draft_decisions);
    RefuseLabelsLikeTheId(draft_checks, id_column, shadow->path(), problems);
  }
  if (problems->size() > before) return nullptr;
  for (std::vector<Check>* checks : {&live_checks, &draft_checks}) {
    for (Check& check : *checks) check.sweep.reset();
  }
  plan->pair = PairRuleSets(std::move(draft_checks), live_checks, draft_decisions, live_decisions);
  plan->shadowed = shadow != nullptr;
  for (const std::string& label : plan->pair.live_labels) {
    plan->live_keys.push_back(JsonString(label) + ":");
  }
  plan->needs_database = NeedsDatabase(plan->pair.checks);
  return plan;
}

bool LiveFlags(const DecisionPlan& plan, const RowResult& result) {
  return SideOutcome(plan.pair, result, false) > 0;
}

std::string AnswerJson(const DecisionPlan& plan, std::string_view id, const RowResult& result) {
  std::string answer;
  AppendAnswerJson(plan, id, result, &answer);
  return answer;
}

void AppendAnswerJson(const DecisionPlan& plan, std::string_view id, const RowResult& result,
                      std::string* out) {
  const RuleSetPair& pair = plan.pair;
  *out += "{\"id\":";
  AppendJsonString(id, out);
  *out += ",\"checks\":{";
  for (size_t l = 0; l < pair.live.size(); ++l) {
    if (l > 0) *out += ',';
    *out += plan.live_keys[l];
    *out += result.fired[pair.live[l]] ? '1' : '0';
  }
  *out += LiveFlags(plan, result) ? "},\"flagged\":true" : "},\"flagged\":false";
  const Decisions& decisions = pair.live_decisions;
  if (decisions.scored) {
    char score[kMaxFixedDecimal];
    *out += ",\"score\":";
    out->append(score, decisions.WriteScore(result.live_decision.score, score));
    if (!decisions.outcomes.empty()) {
      *out += ",\"outcome\":";
      AppendJsonString(decisions.outcomes[result.live_decision.outcome].name, out);
    }
  }
  *out += ",\"alerts\":";
  *out += result.alerts.empty() ? "[]" : AlertsJson(plan, result);
  *out += '}';
}

std::string RejectedJson(std::string_view id, std::string_view reason) {
  return JsonObject().Text("id", id).Text("rejected", reason).Close();
}

JsonObject AuditJson(const DecisionPlan& plan, std::string_view id, const RowResult& result,
                     std::string_view time, std::string_view rules_sha256) {
  JsonObject line;
  line.Text("id", id).Text("time", time).Raw("fired", JsonList(LiveFiredLabels(plan, result)));
  AddDecision(plan.pair, result, &line);
  line.Raw("alerts", AlertsJson(plan, result)).Text("rules_sha256", rules_sha256);
  return line;
}

std::optional<JsonObject> ShadowChangeJson(const DecisionPlan& plan, std::string_view id,
                                           const RowResult& result) {
  if (!plan.shadowed || !Changes(plan.pair, result)) return std::nullopt;
  ChangedRow change = DescribeChange(plan.pair, id, 0, result);
  std::vector<std::string> differ;
  for (const auto& [one, other] : {std::pair{&change.live_checks, &change.draft_checks},
                                   std::pair{&change.draft_checks, &change.live_checks}}) {
    for (const std::string& label : *one) {
      if (std::find(other->begin(), other->end(), label) == other->end() &&
          std::find(differ.begin(), differ.end(), label) == differ.end()) {
        differ.push_back(label);
      }
    }
  }
  return JsonObject()
      .Text("id", id)
      .Text("live_outcome", change.live_outcome)
      .Text("draft_outcome", change.draft_outcome)
      .Text("flagged_by", change.flagged_by)
      .Raw("live_checks", JsonList(change.live_checks))
      .Raw("draft_checks", JsonList(change.draft_checks))
      .Raw("differ", JsonList(differ));
}

}  // namespace txhost
