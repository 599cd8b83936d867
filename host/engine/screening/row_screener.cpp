// Screening one row: conversion first, then every check, with the alerts each check raised.
#include "row_screener.h"

#include <algorithm>

#include "alert_capture.h"
#include "json_line.h"
#include "values.h"

namespace txhost {
namespace {

// The client library's texts for a session whose connection is gone: it stays gone.
bool LostConnection(const std::string& alert) {
  for (const char* code : {"ORA-03113", "ORA-03114", "ORA-03135"}) {
    if (alert.compare(0, 9, code) == 0) return true;
  }
  return false;
}

// A known outcome, 1 or 0, also written with a fraction of zeros ("1.0", as pandas writes a label
// column that a missing label made float) or as a truth value ("True", as pandas writes a bool
// column, the natural type of a fraud flag); -1 for any other text.
int KnownOutcome(std::string_view text) {
  if (text == "True" || text == "true") return 1;
  if (text == "False" || text == "false") return 0;
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return -1;
  if (text.size() > 1 && (text[1] != '.' || text.size() == 2 ||
                          text.find_first_not_of('0', 2) != std::string_view::npos)) {
    return -1;
  }
  return text[0] == '1';
}

}  // namespace

int FirstDateColumn(const std::vector<Check>& checks) {
  for (const Check& check : checks) {
    for (const CheckArg& arg : check.args) {
      if (arg.from_column && arg.kind == ParamKind::kDate) return static_cast<int>(arg.column);
    }
  }
  return -1;
}

RowScreener::RowScreener(const std::vector<Check>& checks, const std::vector<std::string>& header,
                         RowLayout layout, bool parse_only, bool explain, RowDeciders deciders)
    : checks_(checks),
      header_(header),
      layout_(layout),
      deciders_(deciders),
      parse_only_(parse_only),
      explain_(explain),
      args_(checks.size()),
      list_values_(checks.size()) {
  std::vector<size_t> slots;  // per argument read from a column, in order, its ColumnValue
  for (const Check& check : checks) {
    for (const CheckArg& arg : check.args) {
      if (!arg.from_column) continue;
      auto same = [&](const ColumnValue& v) {
        return v.column == arg.column && v.kind == arg.kind;
      };
      auto it = std::find_if(columns_.begin(), columns_.end(), same);
      slots.push_back(it - columns_.begin());
      if (it == columns_.end()) columns_.push_back({arg.column, arg.kind, {}});
    }
  }
  // columns_ has stopped growing: its values stay where they are.
  auto slot = slots.begin();
  for (size_t c = 0; c < checks.size(); ++c) {
    for (const CheckArg& arg : checks[c].args) {
      args_[c].push_back(arg.from_column ? &columns_[*slot++].value
                         : arg.list      ? &list_values_[c]
                                         : &arg.literal);
    }
  }
}

bool RowScreener::Convert(const CsvRecord& record, RowResult* result) {
  if (!record.error.empty()) {
    result->reject = result->reject_kind = record.error;
    return false;
  }
  if (record.fields.size() != layout_.columns) {
    result->reject = "expected " + std::to_string(layout_.columns) + " fields, found " +
                     std::to_string(record.fields.size());
    result->reject_kind = "wrong number of fields";
    return false;
  }
  // Every argument is converted before any rule runs, so a bad field stops the whole row: the
  // first bad one in the order the checks read them.
  for (ColumnValue& read : columns_) {
    std::string_view field = record.fields[read.column];
    std::string problem;
    bool read_well = read.kind == ParamKind::kText
                         ? ReadField(field, record.may_hold_nul, &read.value, &problem)
                         : ParseValue(read.kind, field, &read.value, &problem);
    if (!read_well) {
      const std::string column = "column " + header_[read.column] + ": ";
      result->reject = column + BadValue(field, problem);
      result->reject_kind = column + problem;
      return false;
    }
  }
  // A label that is not 0 or 1 leaves the row out of the backtest, not out of the screening.
  if (layout_.label_column >= 0) result->outcome = KnownOutcome(record.fields[layout_.label_column]);
  return true;
}

void RowScreener::Screen(const CsvRecord& record, const OciHandles& handles, RowResult* result) {
  result->reject.clear();
  result->reject_kind.clear();
  result->explanation.clear();
  result->alerts.clear();
  result->fired.assign(checks_.size(), 0);
  result->swept.resize(checks_.size());
  result->matched.assign(checks_.size(), -1);
  result->day.clear();
  result->outcome = -1;
  result->decision = result->live_decision = RowDecision();
  result->on_lost_session = false;
  if (!Convert(record, result) || parse_only_) return;
  if (layout_.date_column >= 0) result->day.assign(record.fields[layout_.date_column]);
  AlertCollector collector;
  for (size_t c = 0; c < checks_.size(); ++c) {
    const Check& check = checks_[c];
    result->fired[c] = Fires(c, handles, &result->matched[c]);
    if (!collector.empty()) TakeAlerts(&collector, c, "", result);
    if (result->fired[c] && explain_) Explain(record, c, result);
    if (check.sweep) TrySweep(*check.sweep, c, handles, &collector, result);
  }
  // Once per row, from what fired: a swept threshold is read off the score, with no rule called.
  if (deciders_.set != nullptr) result->decision = deciders_.set->Decide(result->fired);
  if (deciders_.live != nullptr) result->live_decision = deciders_.live->Decide(result->fired);
  result->on_lost_session = lost_session_;
}

bool RowScreener::Fires(size_t c, const OciHandles& handles, int64_t* matched) {
  const Check& check = checks_[c];
  if (check.list_arg >= 0) return FiresWithList(check, c, handles, matched);
  return check.rule->invoke(check.function, handles, args_[c].data()) == 1;
}

// One look-up of the text the list's value must equal, and one call with the value it matched:
// the rule still decides. A day name is tried value by value.
bool RowScreener::FiresWithList(const Check& check, size_t c, const OciHandles& handles,
                                int64_t* matched) {
  const TextList& list = *check.args[check.list_arg].list;
  const ListUse use = check.rule->ListUseOf(check.list_arg);
  const Value* const* args = args_[c].data();
  const char*& value = list_values_[c].field_text;
  if (use.kind == ListUse::kEquals) {
    // The rule reads the text to its first NUL, and so does the look-up.
    const int64_t at = list.Find(args[use.partner]->c_text());
    if (at < 0) return false;
    value = list.value(at);
    const bool fired = check.rule->invoke(check.function, handles, args) == 1;
    if (fired) *matched = at;
    return fired;
  }
  for (size_t v = 0; v < list.size(); ++v) {
    value = list.value(v);
    if (check.rule->invoke(check.function, handles, args) == 1) {
      *matched = static_cast<int64_t>(v);
      return true;
    }
  }
  return false;
}

void RowScreener::TakeAlerts(AlertCollector* collector, size_t c, const std::string& value,
                             RowResult* result) {
  for (std::string& text : collector->Take()) {
    lost_session_ = lost_session_ || LostConnection(text);
    result->alerts.push_back({c, std::move(text), value});
  }
}

void RowScreener::TrySweep(const Sweep& sweep, size_t c, const OciHandles& handles,
                           AlertCollector* collector, RowResult* result) {
  std::vector<char>& fired = result->swept[c];
  fired.resize(sweep.values.size());
  const Value*& argument = args_[c][sweep.arg];
  const Value* const current = argument;
  for (size_t v = 0; v < sweep.values.size(); ++v) {
    // The check's own value was just tried: one call answers for both, so a rule whose answer
    // depends on the server's state gives the column and its sweep value the same answer.
    if (static_cast<int>(v) == sweep.current) {
      fired[v] = result->fired[c];
      continue;
    }
    argument = &sweep.values[v];
    int64_t matched = -1;
    fired[v] = Fires(c, handles, &matched);
    if (!collector->empty()) TakeAlerts(collector, c, sweep.texts[v], result);
  }
  argument = current;
}

void RowScreener::Explain(const CsvRecord& record, size_t c, RowResult* result) {
  const Check& check = checks_[c];
  std::string args = "[";
  for (size_t a = 0; a < check.args.size(); ++a) {
    const CheckArg& arg = check.args[a];
    const std::string value = ValueText(arg.kind, *args_[c][a]);
    JsonObject entry;
    entry.Text("kind", KindName(arg.kind))
        .Text("source", arg.from_column ? "column"
                        : arg.list      ? "list"
                                        : "literal");
    if (arg.from_column) entry.Text("column", arg.source);
    // The list's value the check fired with.
    if (arg.list) entry.Text("list", arg.list->name());
    // An amount as the shortest decimal that reads back as the float the rule was given.
    if (arg.kind == ParamKind::kAmount) {
      entry.Number("value", value);
    } else {
      entry.Text("value", value);
    }
    args += (a > 0 ? "," : "") + entry.Close();
  }
  // In the order a reader looks for them: which row, which check, then why. Texts keep their
  // exact bytes (json_line.h).
  JsonObject line;
  line.Text("id", record.fields[layout_.id_column])
      .Number("line", std::to_string(record.line))
      .Text("label", check.label)
      .Text("library", check.rule->library)
      .Text("rule", check.rule->name)
      .Raw("args", args + "]");
  // In a set that scores, what the check added to the row's score.
  if (deciders_.set != nullptr) {
    line.Number("score",
                check.score ? FixedDecimalText(check.score->units, check.score->scale) : "0");
  }
  result->explanation += line.Close() + "\n";
}

}  // namespace txhost
