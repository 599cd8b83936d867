// Counting a run's results and rendering the counts as text and as JSON.
#include "screen_summary.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "json_line.h"
#include "summary_json.h"

namespace txhost {
namespace {

std::optional<double> Ratio(size_t part, size_t whole) { return FiringCounts::Ratio(part, whole); }

void AddBacktest(const ScreenSummary& s, const FiringCounts& counts, nlohmann::json* entry) {
  if (s.backtest) AddBacktestJson(counts, entry);
}

nlohmann::json SideJson(const FiringCounts& counts) {
  return {{"flagged", counts.hits},
          {"true_positives", counts.true_positives},
          {"false_positives", counts.false_positives},
          {"false_negatives", counts.false_negatives},
          {"precision", OrNull(counts.Precision())},
          {"recall", OrNull(counts.Recall())}};
}

// How the comparison told the rows apart, in words.
std::string ComparisonRule(const RuleSetPair& pair) {
  const bool draft = !pair.draft_decisions.outcomes.empty();
  const bool live = !pair.live_decisions.outcomes.empty();
  if (draft && live) return "a row changes when its outcome differs";
  if (!draft && !live) return "a rule set flags a row when at least one of its checks fires";
  return "a row changes when one set stops it and the other does not; the set without outcomes "
         "stops a row when at least one of its checks fires";
}

// Every pair of outcomes that occurs, with its rows.
nlohmann::json OutcomePairsJson(const Comparison& c) {
  const std::vector<std::string> live = c.pair.OutcomeNames(false);
  const std::vector<std::string> draft = c.pair.OutcomeNames(true);
  nlohmann::json pairs = nlohmann::json::array();
  for (const auto& [outcomes, rows] : c.outcome_pairs) {
    pairs.push_back({{"live", live[outcomes.first]}, {"draft", draft[outcomes.second]}, {"rows", rows}});
  }
  return pairs;
}

nlohmann::json ListChangesJson(const RuleSetPair& pair) {
  nlohmann::json changes = nlohmann::json::array();
  for (const ListChange& change : pair.list_changes) {
    changes.push_back({{"label", change.label},
                       {"values_added", change.added},
                       {"values_removed", change.removed}});
  }
  return changes;
}

nlohmann::json ComparisonJson(const ScreenSummary& s, const Comparison& c) {
  const RuleSetPair& pair = c.pair;
  nlohmann::json changes = nlohmann::json::array();
  for (const ChangedRow& row : c.first_changes) {
    changes.push_back({{"id", row.id},
                       {"line", row.line},
                       {"flagged_by", row.flagged_by},
                       {"draft_checks", row.draft_checks},
                       {"live_checks", row.live_checks},
                       {"live_outcome", row.live_outcome},
                       {"draft_outcome", row.draft_outcome}});
  }
  nlohmann::json comparison = {
      {"baseline", c.baseline},
      {"rule", ComparisonRule(pair)},
      {"rows",
       {{"both", c.both},
        {"live_only", c.live_only},
        {"draft_only", c.draft_only},
        {"neither", c.neither}}},
      {"checks",
       {{"added", pair.added},
        {"removed", pair.removed},
        {"changed", pair.changed},
        {"list_changes", ListChangesJson(pair)},
        {"outcomes_changed", pair.outcomes_changed}}},
      {"outcomes", OutcomePairsJson(c)},
      {"outcome_names", {{"live", pair.OutcomeNames(false)}, {"draft", pair.OutcomeNames(true)}}},
      {"first_changes", std::move(changes)}};
  if (s.backtest) {
    comparison["backtest"] = {{"fraud_newly_caught", c.fraud_newly_caught},
                              {"fraud_newly_missed", c.fraud_newly_missed},
                              {"false_alarms_added", c.false_alarms_added},
                              {"false_alarms_removed", c.false_alarms_removed},
                              {"draft", SideJson(c.draft_flags)},
                              {"live", SideJson(c.live_flags)}};
  }
  return comparison;
}

std::string Labels(const std::vector<std::string>& labels) {
  std::string text;
  for (const std::string& label : labels) text += (text.empty() ? "" : ", ") + label;
  return text.empty() ? "none" : text;
}

// `text` and spaces to `width` characters: a label of any length, which snprintf's buffer for a
// line would cut.
std::string PaddedTo(const std::string& text, int width) {
  return text + std::string(std::max(0, width - static_cast<int>(text.size())), ' ');
}

// A list's figures: its values, how many fired, and those that fired most.
std::string ListText(const CheckSummary& c) {
  if (!c.list) return "";
  std::string text = "  " + c.label + ": list " + c.list->name() + " of " +
                     std::to_string(c.list->size()) + " values, " +
                     std::to_string(c.list_hits.size()) + " fired";
  const auto top = c.TopListValues();
  for (size_t i = 0; i < top.size(); ++i) {
    text += (i == 0 ? "; most: " : ", ") + top[i].first + " " + std::to_string(top[i].second);
  }
  return text + "\n";
}

std::string ListChangesText(const RuleSetPair& pair) {
  std::string text;
  for (const ListChange& change : pair.list_changes) {
    text += "  list of " + change.label + ": " + std::to_string(change.added) + " values added, " +
            std::to_string(change.removed) + " removed\n";
  }
  return text;
}

std::string ComparisonText(const ScreenSummary& s, const Comparison& c) {
  const RuleSetPair& pair = c.pair;
  std::string text = "against the live rule set " + c.baseline + ":\n";
  text += "  rows flagged by both " + std::to_string(c.both) + ", by the live set only " +
          std::to_string(c.live_only) + ", by the draft only " + std::to_string(c.draft_only) +
          ", by neither " + std::to_string(c.neither) + "\n";
  text += "  checks added: " + Labels(pair.added) + "; removed: " + Labels(pair.removed) +
          "; changed: " + Labels(pair.changed) +
          (pair.outcomes_changed ? "; the outcome lines changed" : "") + "\n";
  text += ListChangesText(pair);
  const std::vector<std::string> live = pair.OutcomeNames(false), draft = pair.OutcomeNames(true);
  text += "  outcomes, live to draft:";
  for (const auto& [outcomes, rows] : c.outcome_pairs) {
    text += " " + live[outcomes.first] + "->" + draft[outcomes.second] + " " +
            std::to_string(rows) + ";";
  }
  text.back() = '\n';
  if (s.backtest) {
    text += "  fraud newly caught " + std::to_string(c.fraud_newly_caught) + ", newly missed " +
            std::to_string(c.fraud_newly_missed) + "; false alarms added " +
            std::to_string(c.false_alarms_added) + ", removed " +
            std::to_string(c.false_alarms_removed) + "\n";
    for (const auto& [name, counts] :
         {std::pair{"draft", &c.draft_flags}, {"live ", &c.live_flags}}) {
      text += std::string("  ") + name + ": precision " + Percent(counts->Precision()) +
              ", recall " + Percent(counts->Recall()) + "\n";
    }
  }
  return text;
}

}  // namespace

ScreenSummary::ScreenSummary(const std::string& input_name, const std::string& rules_path,
                             const std::vector<Check>& rule_set, bool backtesting,
                             bool parsing_only, size_t reported)
    : input(input_name), rules(rules_path), backtest(backtesting), parse_only(parsing_only) {
  for (const Check& check : rule_set) alert_sources_.emplace_back(check.label, check.rule->name);
  for (size_t c = 0; c < std::min(reported, rule_set.size()); ++c) {
    const Check& check = rule_set[c];
    CheckSummary entry;
    entry.label = check.label;
    entry.library = check.rule->library;
    entry.rule = check.rule->name;
    if (check.sweep) {
      entry.swept_argument = check.sweep->arg + 1;
      entry.current_value = check.sweep->current_text;
      entry.current_index = check.sweep->current;
      for (const std::string& text : check.sweep->texts) {
        entry.sweep.emplace_back();
        entry.sweep.back().value = text;
      }
    }
    if (check.list_arg >= 0) entry.list = check.args[check.list_arg].list;
    checks.push_back(entry);
  }
}

void ScreenSummary::Tally(std::string_view id, size_t line, const RowResult& row) {
  ++read;
  if (!row.reject.empty()) {
    ++rejected;
    ++rejects_by_reason[row.reject_kind];
    return;
  }
  ++screened;
  if (!row.alerts.empty()) KeepAlerts(id, line, row);
  for (const RaisedAlert& alert : row.alerts) {
    if (alert.check < checks.size()) ++checks[alert.check].alerts;
  }
  if (comparison && !parse_only) comparison->Tally(id, line, row, backtest ? row.outcome : -1);
  if (decisions && !parse_only) decisions->Tally(row.decision, backtest ? row.outcome : -1);
  alerts += row.alerts.size();
  on_lost_session += row.on_lost_session;
  if (backtest && row.outcome < 0) ++unlabelled;
  const int outcome = backtest ? row.outcome : -1;
  std::vector<size_t>* day = nullptr;
  if (!row.day.empty()) {
    day = &hits_by_day[row.day];
    day->resize(checks.size());
  }
  const size_t n = checks.size();
  fired_now_.clear();
  for (size_t c = 0; c < n; ++c) {
    bool fired = row.fired[c];
    checks[c].Add(fired, outcome);
    const std::vector<char>& swept = row.swept[c];  // empty when no rule was called
    for (size_t v = 0; v < swept.size() && v < checks[c].sweep.size(); ++v) {
      checks[c].sweep[v].Add(swept[v], outcome);
    }
    if (!fired) continue;
    if (row.matched[c] >= 0) ++checks[c].list_hits[row.matched[c]];
    if (day != nullptr) ++(*day)[c];
    fired_now_.push_back(c);
  }
  CountPairs();
}

void ScreenSummary::CountPairs() {
  if (fired_now_.size() > kMostFiredForPairs) {
    fired_together_complete = false;
    return;
  }
  for (size_t a = 0; a < fired_now_.size(); ++a) {
    for (size_t b = a + 1; b < fired_now_.size(); ++b) {
      const uint64_t key = PairKey(fired_now_[a], fired_now_[b]);
      auto found = fired_together.find(key);
      if (found != fired_together.end()) {
        ++found->second;
      } else if (fired_together.size() < kMostPairs) {
        fired_together.emplace(key, 1);
      } else {
        fired_together_complete = false;
      }
    }
  }
}

std::vector<std::pair<std::string, size_t>> CheckSummary::TopListValues(size_t most) const {
  std::vector<std::pair<int64_t, size_t>> hits(list_hits.begin(), list_hits.end());
  const size_t kept = std::min(most, hits.size());
  std::partial_sort(hits.begin(), hits.begin() + kept, hits.end(),
                    [&](const auto& a, const auto& b) {
                      return a.second != b.second ? a.second > b.second
                                                  : list->view(a.first) < list->view(b.first);
                    });
  std::vector<std::pair<std::string, size_t>> top;
  for (size_t i = 0; i < kept; ++i) top.emplace_back(list->view(hits[i].first), hits[i].second);
  return top;
}

void ScreenSummary::KeepAlerts(std::string_view id, size_t line, const RowResult& row) {
  for (const RaisedAlert& alert : row.alerts) {
    if (first_alerts.size() >= kAlertExamples) return;
    const auto& [label, rule] = alert_sources_[alert.check];
    first_alerts.push_back({std::string(id), line, label, rule, alert.text, alert.value});
  }
}

std::string SummaryText(const ScreenSummary& s) {
  std::string text;
  char line[256];
  std::snprintf(line, sizeof line,
                "rows read %zu, screened %zu, rejected %zu, alerts %zu in %.3f s (%.0f rows/s)\n",
                s.read, s.screened, s.rejected, s.alerts, s.seconds, s.RowsPerSecond());
  text += line;
  if (s.on_lost_session > 0) {
    text += "  " + std::to_string(s.on_lost_session) +
            " rows screened on a session that had lost its connection: their database checks "
            "did not run (see the alerts)\n";
  }
  for (const auto& [reason, count] : s.rejects_by_reason) {
    text += "  rejected " + std::to_string(count) + ": " + reason + "\n";
  }
  if (s.backtest) {
    text += "backtest on " + std::to_string(s.screened - s.unlabelled) + " labelled rows (" +
            std::to_string(s.unlabelled) + " unlabelled rows left out)\n";
  }
  if (s.parse_only) return text;
  if (s.comparison) text += ComparisonText(s, *s.comparison);
  if (s.decisions) text += s.decisions->Text(s.backtest);
  // The label column as wide as the longest label, so that the figures stay in their columns.
  int width = 22;
  for (const CheckSummary& c : s.checks) width = std::max(width, static_cast<int>(c.label.size()));
  text += PaddedTo("check", width);
  std::snprintf(line, sizeof line, " %-16s %8s %8s %7s", "rule", "hits", "rate", "alerts");
  text += line;
  if (s.backtest) {
    std::snprintf(line, sizeof line, " %6s %6s %6s %9s %7s", "TP", "FP", "FN", "precision",
                  "recall");
    text += line;
  }
  text += "\n";
  for (const CheckSummary& c : s.checks) {
    text += PaddedTo(c.label, width);
    std::snprintf(line, sizeof line, " %-16s %8zu %8s %7zu", c.rule.c_str(), c.hits,
                  Percent(Ratio(c.hits, s.screened)).c_str(), c.alerts);
    text += line;
    if (s.backtest) {
      std::snprintf(line, sizeof line, " %6zu %6zu %6zu %9s %7s", c.true_positives,
                    c.false_positives, c.false_negatives, Percent(c.Precision()).c_str(),
                    Percent(c.Recall()).c_str());
      text += line;
    }
    text += "\n";
  }
  for (const CheckSummary& c : s.checks) text += ListText(c);
  return text;
}

// One check's figures, and its sweep's when it has one.
nlohmann::json CheckJson(const ScreenSummary& s, const CheckSummary& c) {
  nlohmann::json entry = {{"label", c.label},
                          {"library", c.library},
                          {"rule", c.rule},
                          {"hits", c.hits},
                          {"rate", OrNull(Ratio(c.hits, s.screened))},
                          {"alerts", c.alerts}};
  AddBacktest(s, c, &entry);
  if (c.list) {
    nlohmann::json top = nlohmann::json::array();
    for (const auto& [value, hits] : c.TopListValues(s.list_values_given)) {
      top.push_back({{"value", value}, {"hits", hits}});
    }
    entry["list"] = {{"name", c.list->name()},
                     {"values", c.list->size()},
                     {"values_that_fired", c.list_hits.size()},
                     {"top_values", std::move(top)}};
  }
  if (!c.sweep.empty()) {
    nlohmann::json points = nlohmann::json::array();
    for (const SweepPoint& point : c.sweep) {
      nlohmann::json p = {{"value", point.value}, {"hits", point.hits}};
      AddBacktest(s, point, &p);
      points.push_back(std::move(p));
    }
    entry["sweep"] = {{"argument", c.swept_argument},
                      {"current", c.current_value},
                      {"current_index", c.current_index >= 0 ? nlohmann::json(c.current_index)
                                                             : nlohmann::json(nullptr)},
                      {"values", std::move(points)}};
  }
  return entry;
}

std::string SummaryJson(const ScreenSummary& s) {
  nlohmann::json checks = nlohmann::json::array();
  for (const CheckSummary& c : s.checks) checks.push_back(CheckJson(s, c));
  nlohmann::json summary = {{"input", s.input},
                            {"rules", s.rules},
                            {"rows_read", s.read},
                            {"rows_screened", s.screened},
                            {"rows_rejected", s.rejected},
                            {"rejects_by_reason", s.rejects_by_reason},
                            {"alerts", s.alerts},
                            {"rows_on_lost_session", s.on_lost_session},
                            {"workers", s.workers},
                            {"seconds", s.seconds},
                            {"rows_per_second", s.RowsPerSecond()},
                            {"parse_only", s.parse_only},
                            {"backtest", s.backtest},
                            {"checks", std::move(checks)}};
  if (s.backtest) summary["rows_unlabelled"] = s.unlabelled;
  if (!s.hits_by_day.empty()) {
    summary["hits_by_day"] =
        std::map<std::string, std::vector<size_t>>(s.hits_by_day.begin(), s.hits_by_day.end());
  }
  // Only the pairs that fired together, in the order of the checks.
  std::vector<uint64_t> pairs;
  for (const auto& [key, rows] : s.fired_together) pairs.push_back(key);
  std::sort(pairs.begin(), pairs.end());
  nlohmann::json together = nlohmann::json::array();
  for (uint64_t key : pairs) {
    together.push_back({{"checks", {s.checks[key >> 32].label, s.checks[key & 0xffffffffu].label}},
                        {"rows", s.fired_together.at(key)}});
  }
  summary["fired_together"] = std::move(together);
  summary["fired_together_complete"] = s.fired_together_complete;
  // The alerts are written by the alerts file's own writer, which keeps their exact bytes, and
  // put where a placeholder holds their place.
  const std::string placeholder = "\x01first_alerts";
  summary["first_alerts"] = placeholder;
  if (s.comparison) summary["comparison"] = ComparisonJson(s, *s.comparison);
  if (s.decisions && !s.parse_only) s.decisions->AddJson(s.backtest, &summary);
  std::string text = summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string alerts = "[";
  for (const AlertExample& a : s.first_alerts) {
    alerts +=
        (alerts.size() > 1 ? ", " : "") + AlertJson(a.id, a.line, a.label, a.rule, a.text, a.value);
  }
  // Found with its key, which no other member has, so that no text of the run can be taken
  // for it.
  const std::string member = "\"first_alerts\": " + nlohmann::json(placeholder).dump();
  text.replace(text.find(member), member.size(), "\"first_alerts\": " + alerts + "]");
  return text + "\n";
}

}  // namespace txhost
