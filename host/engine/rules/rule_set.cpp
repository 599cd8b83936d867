// Reading and checking the rule set before any row is screened.
#include "rule_set.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "csv_split.h"
#include "decisions.h"
#include "file_system.h"
#include "outcome_lines.h"
#include "rule_words.h"
#include "values.h"

namespace txhost {
namespace {

// Splits "LITERAL in [SET]" off the words: each set belongs to the argument before it, counted
// from the first argument.
std::vector<std::pair<size_t, std::string>> TakeSets(std::vector<std::string>* words) {
  std::vector<std::pair<size_t, std::string>> sets;
  for (size_t w = 3; w + 1 < words->size();) {
    if ((*words)[w] == "in" && (*words)[w + 1][0] == '[' && w > 3) {
      sets.emplace_back(w - 4, (*words)[w + 1]);
      words->erase(words->begin() + w, words->begin() + w + 2);
    } else {
      ++w;
    }
  }
  return sets;
}

// The argument `word` as a check holds it: a literal read as `kind`, or a column, by name only
// until the check is bound to a header.
CheckArg ReadArgument(const std::string& word, ParamKind kind, std::string* problem) {
  CheckArg arg;
  arg.kind = kind;
  arg.source = word;
  if (IsQuotedColumn(word)) {
    arg.from_column = true;
    arg.source = Unquote(word);
  } else if (IsQuoted(word) || IsBareLiteral(word)) {
    std::string literal = IsQuoted(word) ? Unquote(word) : word;
    std::string reason;
    if (!ParseValue(kind, literal, &arg.literal, &reason)) *problem = BadValue(literal, reason);
    arg.bare = !IsQuoted(word);
  } else {
    arg.from_column = true;
  }
  return arg;
}

// Argument `index` of `rule` as the list `word` names; the problem, naming the list and the
// argument, when the argument cannot be a list or the list cannot be used.
CheckArg ReadListArgument(const std::string& word, const RuleSpec& rule, size_t index,
                          ListShelf* lists, std::string* problem) {
  CheckArg arg;
  arg.kind = rule.ValueParams()[index];
  arg.source = word;
  const std::string name = ListName(word);
  const std::string argument = "argument " + std::to_string(index + 1) + " of " + rule.name;
  if (rule.ListUseOf(index).kind == ListUse::kNone) {
    *problem = argument + " (" + KindName(arg.kind) + ") cannot be the list " + name +
               ": a list stands only for a text the rule compares for equality";
  } else if (lists == nullptr) {
    *problem = argument + " names the list " + name + ", and lists are not read here";
  } else if (std::string reason; !(arg.list = lists->Find(name, &reason))) {
    *problem = argument + ": the list " + name + " cannot be used: " + reason;
  }
  return arg;
}

// Notes which argument of `check` is a list; the problem when more than one is.
std::string SetListArgument(Check* check) {
  size_t lists = 0;
  for (size_t a = 0; a < check->args.size(); ++a) {
    if (!IsListReference(check->args[a].source)) continue;
    ++lists;
    check->list_arg = static_cast<int>(a);
  }
  if (lists <= 1) return "";
  return "one argument of a check may be a list, not " + std::to_string(lists);
}

// The arguments after the rule's name in `words`, into `check`, each problem told to `problem`.
template <class Problem>
void ReadArguments(const std::vector<std::string>& words, ListShelf* lists, Check* check,
                   const Problem& problem) {
  const std::vector<ParamKind> kinds = check->rule->ValueParams();
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::string bad;
    if (IsListReference(words[3 + i])) {
      check->args.push_back(ReadListArgument(words[3 + i], *check->rule, i, lists, &bad));
      if (!bad.empty()) problem(bad);
      continue;
    }
    check->args.push_back(ReadArgument(words[3 + i], kinds[i], &bad));
    if (bad.empty()) continue;
    bad = "argument " + std::to_string(i + 1) + " of " + words[2] + " is " + KindName(kinds[i]) +
          ", but " + bad;
    // A bare word's problem waits for the header, which may show that a column was meant.
    if (check->args.back().bare) {
      check->args.back().literal_problem = bad;
    } else {
      problem(bad);
    }
  }
  if (std::string bad = SetListArgument(check); !bad.empty()) problem(bad);
}

// The sweep of argument `index` of `check`, from its set; the problem, or empty.
std::string ReadSweep(size_t index, const std::string& set, const std::string& rule, Check* check) {
  Sweep sweep;
  sweep.arg = index;
  const CheckArg& swept = check->args[index];
  std::string reason;
  if (swept.from_column || IsListReference(swept.source)) {
    reason = "argument " + std::to_string(index + 1) + " of " + rule + " is a " +
             (swept.from_column ? "column" : "list") + "; only a literal can be swept";
  } else if (!ParseSweep(set, swept.kind, &sweep, &reason)) {
    reason = "the sweep " + set + ": " + reason;
  }
  sweep.current_text = IsQuoted(swept.source) ? Unquote(swept.source) : swept.source;
  for (size_t v = 0; v < sweep.values.size(); ++v) {
    if (SameValue(swept.kind, swept.literal, sweep.values[v])) {
      sweep.current = static_cast<int>(v);
      break;
    }
  }
  check->sweep = std::move(sweep);
  return reason;
}

// One line of the rule set as a check, its rule found in the catalog and its literals read; no
// library is loaded and no column looked up. Null for a line with no usable check.
std::optional<Check> ParseLine(std::vector<std::string> words, size_t number, ListShelf* lists,
                               std::set<std::string>* labels, RuleProblems* problems) {
  auto problem = [&](const std::string& message) { problems->push_back({number, message}); };
  if (words.size() < 3) {
    problem("expected a label, a library and a rule");
    return std::nullopt;
  }
  Check check;
  check.label = words[0];
  check.line = number;
  if (!IsLabel(check.label)) {
    problem("the label \"" + check.label + "\" is not a plain name" + kPlainName);
  }
  if (check.label == kScoreColumn || check.label == kOutcomeColumn) {
    problem("the label " + check.label + " is the name of a results column of txhost's own");
  }
  if (!labels->insert(check.label).second) problem("the label " + check.label + " is used twice");
  check.rule = FindRule(words[1], words[2]);
  if (check.rule == nullptr) {
    bool known_library = false;
    for (const std::string& library : CatalogLibraries()) known_library |= library == words[1];
    problem(known_library ? words[1] + " has no rule " + words[2] : "unknown library " + words[1]);
    return std::nullopt;
  }
  const auto sets = TakeSets(&words);
  const std::vector<ParamKind> kinds = check.rule->ValueParams();
  // The rule's parameters are known, so a trailing "score N" is never taken for arguments.
  if (words.size() == 3 + kinds.size() + 2 && words[words.size() - 2] == "score") {
    Decimal score;
    if (ParseDecimal(words.back(), &score)) {
      check.score = score;
    } else {
      problem("the score " + words.back() + " is not a decimal number of at most 15 digits");
    }
    words.resize(words.size() - 2);
  }
  if (words.size() - 3 != kinds.size()) {
    problem(words[2] + " takes " + std::to_string(kinds.size()) + " arguments (" + KindList(kinds) +
            "), not " + std::to_string(words.size() - 3));
    return std::nullopt;
  }
  ReadArguments(words, lists, &check, problem);
  if (sets.size() > 1) {
    problem("one argument of a check may be swept, not " + std::to_string(sets.size()));
  }
  for (const auto& [index, set] : sets) {
    std::string bad = index < check.args.size()
                          ? ReadSweep(index, set, words[2], &check)
                          : "only an argument's literal can be swept, not a score";
    if (!bad.empty()) problem(bad);
  }
  return check;
}

// Parsing: every check and outcome of `in`, and the decisions they make.
std::vector<Check> ParseChecks(std::istream& in, ListShelf* lists, RuleProblems* problems,
                               Decisions* decisions) {
  std::vector<Check> checks;
  std::vector<OutcomeLine> outcomes;
  std::set<std::string> labels;
  std::string text;
  for (size_t number = 1; NextRuleLine(in, &text); ++number) {
    // Editors on Windows start a UTF-8 file with a byte-order mark; it is no part of a label.
    if (number == 1 && text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    std::vector<std::string> words;
    if (!SplitRuleLine(text, &words)) {
      problems->push_back({number, "a quoted literal is not closed"});
    } else if (words.empty()) {
      continue;
    } else if (words[0] == "outcome") {
      ParseOutcomeLine(words, number, &outcomes, problems);
    } else if (auto check = ParseLine(std::move(words), number, lists, &labels, problems)) {
      checks.push_back(std::move(*check));
    }
  }
  if (checks.empty() && problems->empty()) problems->push_back({0, "no checks"});
  CheckOutcomes(checks, outcomes, problems);
  Decisions built = BuildDecisions(checks, outcomes, problems);
  if (decisions != nullptr) *decisions = std::move(built);
  return checks;
}

// Binding: each column argument's place in `header`.
void BindColumns(const std::vector<std::string>& header, std::vector<Check>* checks,
                 RuleProblems* problems) {
  for (Check& check : *checks) {
    for (CheckArg& arg : check.args) {
      if (!arg.from_column) continue;
      auto column = std::find(header.begin(), header.end(), arg.source);
      if (column == header.end()) {
        problems->push_back({check.line, "unknown column " + arg.source});
        arg.from_column = false;
      } else {
        arg.column = static_cast<size_t>(column - header.begin());
      }
    }
  }
}

// A bare word read as a literal: its problem as a literal, or, when `header` has a column of
// that name, that either could be meant and how to write each.
void TellBareWords(const std::vector<std::string>* header, const std::vector<Check>& checks,
                   RuleProblems* problems) {
  for (const Check& check : checks) {
    for (size_t a = 0; a < check.args.size(); ++a) {
      const CheckArg& arg = check.args[a];
      if (!arg.bare) continue;
      const bool named = header != nullptr &&
                         std::find(header->begin(), header->end(), arg.source) != header->end();
      if (!named || !arg.literal_problem.empty()) {
        if (arg.literal_problem.empty()) continue;
        // Without a header, whether a column was meant cannot be told: say how to write one.
        const std::string hint = header == nullptr ? "; a column of that name is written `"
                                 : named           ? "; to read the column, write `"
                                                   : "";
        problems->push_back(
            {check.line, arg.literal_problem + (hint.empty() ? "" : hint + arg.source + "`")});
        continue;
      }
      problems->push_back({check.line, "argument " + std::to_string(a + 1) + " of " +
                                           check.rule->name + ", " + arg.source +
                                           ", is both a bare literal and a column's name: write `" +
                                           arg.source + "` for the column, or \"" + arg.source +
                                           "\" for the literal"});
    }
  }
}

// Loading: each rule's exported address, its library loaded on first use.
void ResolveRules(LibrarySet& libraries, std::vector<Check>* checks, RuleProblems* problems) {
  for (Check& check : *checks) {
    std::string error;
    check.function = libraries.Resolve(*check.rule, &error);
    if (check.function == nullptr) problems->push_back({check.line, error});
  }
}

// Every problem as "path:line: message", in the order of the lines.
void AppendProblems(const std::string& path, RuleProblems found, std::vector<std::string>* problems) {
  std::stable_sort(found.begin(), found.end(),
                   [](const RuleProblem& a, const RuleProblem& b) { return a.line < b.line; });
  for (const RuleProblem& problem : found) {
    problems->push_back(path + (problem.line > 0 ? ":" + std::to_string(problem.line) : "") + ": " +
                        problem.message);
  }
}

// Parsing, binding when there is a header, and loading.
std::vector<Check> ReadChecks(std::istream& in, const std::string& path,
                              const std::vector<std::string>* header, LibrarySet& libraries,
                              ListShelf* lists, std::vector<std::string>* problems,
                              Decisions* decisions) {
  RuleProblems found;
  std::vector<Check> checks = ParseChecks(in, lists, &found, decisions);
  if (header != nullptr) BindColumns(*header, &checks, &found);
  TellBareWords(header, checks, &found);
  ResolveRules(libraries, &checks, &found);
  AppendProblems(path, std::move(found), problems);
  return checks;
}

}  // namespace

std::unique_ptr<RuleSet> RuleSet::Open(const std::string& path,
                                       const std::string& library_directory, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return nullptr;
  return FromText(path, std::move(text), library_directory);
}

std::vector<Check> RuleSet::Read(const std::vector<std::string>* header,
                                 std::vector<std::string>* problems, Decisions* decisions) {
  std::istringstream in(text_);
  return ReadChecks(in, path_, header, libraries_, &lists_, problems, decisions);
}

std::vector<std::string> RuleSet::Problems() {
  std::vector<std::string> problems;
  Read(nullptr, &problems, nullptr);
  return problems;
}

std::string RuleSet::Fingerprint() const {
  std::string bytes = text_;
  // A NUL, which neither a list's name nor its values can hold, keeps each part apart.
  for (const auto& list : Lists()) {
    bytes += std::string(1, '\0') + "@" + list->name();
    for (size_t v = 0; v < list->size(); ++v) bytes += std::string(1, '\0') + list->value(v);
  }
  return bytes;
}

std::vector<std::string> RuleSet::ColumnsRead() {
  std::vector<std::string> problems, columns;
  for (const Check& check : Read(nullptr, &problems, nullptr)) {
    for (const CheckArg& arg : check.args) {
      if (arg.from_column &&
          std::find(columns.begin(), columns.end(), arg.source) == columns.end()) {
        columns.push_back(arg.source);
      }
    }
  }
  return problems.empty() ? columns : std::vector<std::string>();
}

std::vector<Check> RuleSet::Bind(const std::vector<std::string>& header,
                                 std::vector<std::string>* problems, Decisions* decisions) {
  return Read(&header, problems, decisions);
}

std::vector<std::string> ListFiles(const std::vector<Check>& checks) {
  std::vector<std::string> files;
  for (const Check& check : checks) {
    if (check.list_arg < 0 || !check.args[check.list_arg].list) continue;
    const std::string& file = check.args[check.list_arg].list->file();
    if (!file.empty() && std::find(files.begin(), files.end(), file) == files.end()) {
      files.push_back(file);
    }
  }
  return files;
}

bool SameValue(ParamKind kind, const Value& a, const Value& b) {
  switch (kind) {
    case ParamKind::kAmount:
      return a.amount == b.amount;
    case ParamKind::kDate:
      return a.date.OCIDateYYYY == b.date.OCIDateYYYY && a.date.OCIDateMM == b.date.OCIDateMM &&
             a.date.OCIDateDD == b.date.OCIDateDD;
    case ParamKind::kText:
      return a.text == b.text;
    case ParamKind::kHandles:
      break;
  }
  return false;
}

void RefuseLabelsLikeTheId(const std::vector<Check>& checks, const std::string& id_column,
                           const std::string& path, std::vector<std::string>* problems) {
  for (const Check& check : checks) {
    if (check.label != id_column) continue;
    problems->push_back(path + ":" + std::to_string(check.line) + ": the label " + check.label +
                        " is the name of the id column; the results would have two");
  }
}

void RefuseAnIdLikeTheDecisionColumns(const Decisions& decisions, const std::string& id_column,
                                      const std::string& path,
                                      std::vector<std::string>* problems) {
  const char* carried = nullptr;
  if (decisions.scored && id_column == kScoreColumn) carried = "scores";
  if (!decisions.outcomes.empty() && id_column == kOutcomeColumn) carried = "outcomes";
  if (carried == nullptr) return;
  problems->push_back(path + ": the id column " + id_column + " has the name of the column the " +
                      carried + " go in; the results would have two");
}

std::vector<Check> ParseRuleSet(std::istream& in, const std::string& path,
                                const std::vector<std::string>& header,
                                std::vector<std::string>* problems, Decisions* decisions,
                                ListShelf* lists) {
  RuleProblems found;
  std::vector<Check> checks = ParseChecks(in, lists, &found, decisions);
  BindColumns(header, &checks, &found);
  TellBareWords(&header, checks, &found);
  AppendProblems(path, std::move(found), problems);
  return checks;
}

std::vector<Check> LoadRuleSet(const std::string& path, const std::vector<std::string>& header,
                               LibrarySet& libraries, std::vector<std::string>* problems,
                               Decisions* decisions) {
  std::string text, error;
  if (!ReadWholeFile(path, &text, &error)) {
    problems->push_back(error);
    return {};
  }
  std::istringstream in(text);
  ListShelf lists(path);
  return ReadChecks(in, path, &header, libraries, &lists, problems, decisions);
}

std::vector<Check> ReadRuleSet(std::istream& in, const std::string& path,
                               const std::vector<std::string>& header, LibrarySet& libraries,
                               std::vector<std::string>* problems, Decisions* decisions) {
  ListShelf lists(path);
  return ReadChecks(in, path, &header, libraries, &lists, problems, decisions);
}

}  // namespace txhost
