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
#include "values.h"

namespace txhost {
namespace {

bool IsQuoted(const std::string& word) { return word.size() >= 2 && word.front() == '"'; }

std::string Unquote(const std::string& word) {
  std::string text;
  for (size_t i = 1; i + 1 < word.size(); ++i) {
    text.push_back(word[i]);
    if (word[i] == '"') ++i;  // a doubled quote stands for one
  }
  return text;
}

bool IsBareLiteral(const std::string& word) {
  char c = word[0];
  return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.';
}

// Moves `at` past the quoted literal that starts there; false when it is not closed.
bool SkipQuoted(const std::string& line, size_t* at) {
  for (++*at;; ++*at) {
    if (*at >= line.size()) return false;
    if (line[*at] != '"') continue;
    if (*at + 1 < line.size() && line[*at + 1] == '"') {
      ++*at;
      continue;
    }
    ++*at;
    return true;
  }
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

constexpr size_t kMaxSweepValues = 10000;

// `units` at `scale` as a person writes it: no trailing zeros after the point, no lone point.
std::string DecimalText(int64_t units, int scale) {
  std::string digits = std::to_string(units < 0 ? -units : units);
  if (scale > 0) {
    digits.insert(0, std::max<int>(0, scale + 1 - static_cast<int>(digits.size())), '0');
    digits.insert(digits.size() - scale, ".");
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.back() == '.') digits.pop_back();
  }
  return (units < 0 ? "-" : "") + digits;
}

// FROM..TO step STEP, counted in decimal at the precision the user wrote: TO belongs to the
// range exactly when it is FROM plus a whole number of steps. Each value in units of 10^-`scale`,
// with its text.
bool ParseDecimalRange(const std::string& inner, std::vector<int64_t>* values,
                       std::vector<std::string>* texts, int* scale, std::string* problem) {
  size_t dots = inner.find("..");
  size_t step_at = inner.find(" step ");
  if (step_at == std::string::npos || step_at < dots) {
    *problem = "a range is written FROM..TO step STEP";
    return false;
  }
  const std::string parts[] = {Trim(inner.substr(0, dots)),
                               Trim(inner.substr(dots + 2, step_at - dots - 2)),
                               Trim(inner.substr(step_at + 6))};
  Decimal ends[3];
  for (int i = 0; i < 3; ++i) {
    if (!ParseDecimal(parts[i], &ends[i])) {
      *problem =
          "a range is written FROM..TO step STEP, with three decimal numbers of at most "
          "15 digits";
      return false;
    }
  }
  *scale = std::max({ends[0].scale, ends[1].scale, ends[2].scale});
  int64_t units[3];
  for (int i = 0; i < 3; ++i) {
    units[i] = ends[i].units;
    for (int s = ends[i].scale; s < *scale; ++s) units[i] *= 10;
  }
  const int64_t from = units[0], to = units[1], step = units[2];
  if (step == 0 || (to - from != 0 && (to - from < 0) != (step < 0))) {
    *problem = "the step must lead from FROM to TO";
    return false;
  }
  const int64_t count = (to - from) / step + 1;
  if (count > static_cast<int64_t>(kMaxSweepValues)) {
    *problem = "a sweep has at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  for (int64_t i = 0; i < count; ++i) {
    values->push_back(from + i * step);
    texts->push_back(DecimalText(from + i * step, *scale));
  }
  return true;
}

bool ParseRange(const std::string& inner, ParamKind kind, Sweep* sweep, std::string* problem) {
  if (kind != ParamKind::kAmount) {
    *problem = "a range sweeps an amount; list the values instead";
    return false;
  }
  std::vector<int64_t> units;
  int scale = 0;
  if (!ParseDecimalRange(inner, &units, &sweep->texts, &scale, problem)) return false;
  for (const std::string& text : sweep->texts) {
    Value value;
    std::string reason;
    if (!ParseAmount(text, &value.amount, &reason)) {
      *problem = "its values are amounts, but " + BadValue(text, reason);
      return false;
    }
    sweep->values.push_back(value);
  }
  return true;
}

// The items of a list "a, \"b, c\", d", each trimmed; a quoted item may hold commas.
std::vector<std::string> SplitList(const std::string& inner) {
  std::vector<std::string> items;
  std::string item;
  for (size_t at = 0; at <= inner.size(); ++at) {
    if (at == inner.size() || inner[at] == ',') {
      items.push_back(Trim(item));
      item.clear();
    } else if (inner[at] == '"') {
      size_t start = at;
      SkipQuoted(inner, &at);
      item += inner.substr(start, at - start);
      --at;
    } else {
      item.push_back(inner[at]);
    }
  }
  return items;
}

bool ParseList(const std::string& inner, ParamKind kind, Sweep* sweep, std::string* problem) {
  const std::vector<std::string> items = SplitList(inner);
  if (items.size() > kMaxSweepValues) {
    *problem = "a sweep has at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  for (const std::string& word : items) {
    std::string literal = IsQuoted(word) ? Unquote(word) : word;
    Value value;
    std::string reason;
    if (word.empty() || !ParseValue(kind, literal, &value, &reason)) {
      *problem = "its values are " + std::string(KindName(kind)) + "s, but " +
                 BadValue(literal, word.empty() ? "is empty" : reason);
      return false;
    }
    sweep->texts.push_back(literal);
    sweep->values.push_back(value);
  }
  return true;
}

bool IsLabel(const std::string& word) {
  return std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
  });
}

}  // namespace

bool ParseSweep(const std::string& set, ParamKind kind, Sweep* sweep, std::string* problem) {
  std::string inner = Trim(set.substr(1, set.size() - 2));
  if (inner.empty()) {
    *problem = "the set [] is empty";
    return false;
  }
  bool range = inner.find("..") != std::string::npos && inner[0] != '"';
  if (range ? ParseRange(inner, kind, sweep, problem) : ParseList(inner, kind, sweep, problem)) {
    return true;
  }
  sweep->values.clear();
  sweep->texts.clear();
  return false;
}

bool SplitRuleLine(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  for (size_t at = 0; at < line.size();) {
    if (std::isspace(static_cast<unsigned char>(line[at]))) {
      ++at;
      continue;
    }
    size_t start = at;
    if (line[at] == '"') {
      if (!SkipQuoted(line, &at)) return false;
    } else if (line[at] == '[') {
      // A set runs to its closing bracket; quoted literals inside may hold anything.
      for (++at;;) {
        if (at >= line.size()) return false;
        if (line[at] == ']') {
          ++at;
          break;
        }
        if (line[at] == '"') {
          if (!SkipQuoted(line, &at)) return false;
        } else {
          ++at;
        }
      }
    } else {
      if (line[at] == '#') break;  // a comment runs to the end of the line
      while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    }
    words->push_back(line.substr(start, at - start));
  }
  return true;
}

namespace {

// A problem of the rule set, on its line (0 for the file as a whole).
struct Problem {
  size_t line;
  std::string message;
};
using Problems = std::vector<Problem>;

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
  if (IsQuoted(word) || IsBareLiteral(word)) {
    std::string literal = IsQuoted(word) ? Unquote(word) : word;
    std::string reason;
    if (!ParseValue(kind, literal, &arg.literal, &reason)) *problem = BadValue(literal, reason);
  } else {
    arg.from_column = true;
  }
  return arg;
}

// The sweep of argument `index` of `check`, from its set; the problem, or empty.
std::string ReadSweep(size_t index, const std::string& set, const std::string& rule, Check* check) {
  Sweep sweep;
  sweep.arg = index;
  const CheckArg& swept = check->args[index];
  std::string reason;
  if (swept.from_column) {
    reason = "argument " + std::to_string(index + 1) + " of " + rule +
             " is a column; only a literal can be swept";
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
std::optional<Check> ParseLine(std::vector<std::string> words, size_t number,
                               std::set<std::string>* labels, Problems* problems) {
  auto problem = [&](const std::string& message) { problems->push_back({number, message}); };
  if (words.size() < 3) {
    problem("expected a label, a library and a rule");
    return std::nullopt;
  }
  Check check;
  check.label = words[0];
  check.line = number;
  if (!IsLabel(check.label)) problem("the label \"" + check.label + "\" is not a plain name");
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
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::string bad;
    check.args.push_back(ReadArgument(words[3 + i], kinds[i], &bad));
    if (!bad.empty()) {
      problem("argument " + std::to_string(i + 1) + " of " + words[2] + " is " +
              KindName(kinds[i]) + ", but " + bad);
    }
  }
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

// An outcome line as written: its threshold and sweep still decimals of their own precision.
struct OutcomeLine {
  std::string name;
  size_t line = 0;
  std::optional<Decimal> from;
  std::vector<Decimal> sweep;
  std::string sweep_set;
};

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

// "outcome NAME [from SCORE [in [SET]]]".
void ParseOutcomeLine(const std::vector<std::string>& words, size_t number,
                      std::vector<OutcomeLine>* outcomes, Problems* problems) {
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
  if (!IsLabel(outcome.name)) problem("the outcome \"" + outcome.name + "\" is not a plain name");
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

// The scores and thresholds checked against each other: each threshold above the one before, each
// name once, and outcomes only where some check has a score.
void CheckOutcomes(const std::vector<Check>& checks, const std::vector<OutcomeLine>& outcomes,
                   Problems* problems) {
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

// `decimal` in units of 10^-scale; false when that many units would not be exact in 18 digits.
bool Rescale(const Decimal& decimal, int scale, int64_t* units) {
  constexpr int64_t kMaxUnits = 999999999999999999;
  *units = decimal.units;
  for (int s = decimal.scale; s < scale; ++s) {
    if (*units > kMaxUnits / 10 || *units < -kMaxUnits / 10) return false;
    *units *= 10;
  }
  return true;
}

// The decisions of a valid set: every score and threshold counted at the finest precision used.
Decisions BuildDecisions(const std::vector<Check>& checks, const std::vector<OutcomeLine>& lines,
                         Problems* problems) {
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
    if (!Rescale(*checks[c].score, decisions.scale, &units) ||
        __builtin_add_overflow(total, units < 0 ? -units : units, &total)) {
      problems->push_back({checks[c].line, "the score " + checks[c].score->text + too_fine});
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

// Parsing: every check and outcome of `in`, and the decisions they make.
std::vector<Check> ParseChecks(std::istream& in, Problems* problems, Decisions* decisions) {
  std::vector<Check> checks;
  std::vector<OutcomeLine> outcomes;
  std::set<std::string> labels;
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    // Editors on Windows start a UTF-8 file with a byte-order mark; it is no part of a label.
    if (number == 1 && text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    std::vector<std::string> words;
    if (!SplitRuleLine(text, &words)) {
      problems->push_back({number, "a quoted literal is not closed"});
    } else if (words.empty()) {
      continue;
    } else if (words[0] == "outcome") {
      ParseOutcomeLine(words, number, &outcomes, problems);
    } else if (auto check = ParseLine(std::move(words), number, &labels, problems)) {
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
                 Problems* problems) {
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

// Loading: each rule's exported address, its library loaded on first use.
void ResolveRules(LibrarySet& libraries, std::vector<Check>* checks, Problems* problems) {
  for (Check& check : *checks) {
    std::string error;
    check.function = libraries.Resolve(*check.rule, &error);
    if (check.function == nullptr) problems->push_back({check.line, error});
  }
}

// Every problem as "path:line: message", in the order of the lines.
void AppendProblems(const std::string& path, Problems found, std::vector<std::string>* problems) {
  std::stable_sort(found.begin(), found.end(),
                   [](const Problem& a, const Problem& b) { return a.line < b.line; });
  for (const Problem& problem : found) {
    problems->push_back(path + (problem.line > 0 ? ":" + std::to_string(problem.line) : "") + ": " +
                        problem.message);
  }
}

// Parsing, binding when there is a header, and loading.
std::vector<Check> ReadChecks(std::istream& in, const std::string& path,
                              const std::vector<std::string>* header, LibrarySet& libraries,
                              std::vector<std::string>* problems, Decisions* decisions) {
  Problems found;
  std::vector<Check> checks = ParseChecks(in, &found, decisions);
  if (header != nullptr) BindColumns(*header, &checks, &found);
  ResolveRules(libraries, &checks, &found);
  AppendProblems(path, std::move(found), problems);
  return checks;
}

bool ReadRuleText(const std::string& path, std::string* text, std::string* error) {
  PathFacts facts;
  if (!InspectPath(path, &facts, error)) return false;
  int reason = !facts.exists ? ENOENT : facts.is_directory ? EISDIR : 0;
  std::ifstream in;
  if (reason == 0) {
    errno = 0;
    in.open(path, std::ios::binary);
    if (!in) reason = errno != 0 ? errno : EIO;
  }
  std::ostringstream content;
  if (reason == 0 && !(content << in.rdbuf()) && in.bad()) reason = EIO;
  if (reason != 0) {
    *error = path + ": " + ErrnoText(reason);
    return false;
  }
  *text = content.str();
  return true;
}

}  // namespace

std::unique_ptr<RuleSet> RuleSet::Open(const std::string& path,
                                       const std::string& library_directory, std::string* error) {
  std::string text;
  if (!ReadRuleText(path, &text, error)) return nullptr;
  return FromText(path, std::move(text), library_directory);
}

std::vector<std::string> RuleSet::Problems() {
  std::vector<std::string> problems;
  std::istringstream in(text_);
  ReadChecks(in, path_, nullptr, libraries_, &problems, nullptr);
  return problems;
}

std::vector<std::string> RuleSet::ColumnsRead() {
  std::vector<std::string> problems, columns;
  std::istringstream in(text_);
  for (const Check& check : ReadChecks(in, path_, nullptr, libraries_, &problems, nullptr)) {
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
  std::istringstream in(text_);
  return ReadChecks(in, path_, &header, libraries_, problems, decisions);
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
                                std::vector<std::string>* problems, Decisions* decisions) {
  Problems found;
  std::vector<Check> checks = ParseChecks(in, &found, decisions);
  BindColumns(header, &checks, &found);
  AppendProblems(path, std::move(found), problems);
  return checks;
}

std::vector<Check> LoadRuleSet(const std::string& path, const std::vector<std::string>& header,
                               LibrarySet& libraries, std::vector<std::string>* problems,
                               Decisions* decisions) {
  std::string text, error;
  if (!ReadRuleText(path, &text, &error)) {
    problems->push_back(error);
    return {};
  }
  std::istringstream in(text);
  return ReadChecks(in, path, &header, libraries, problems, decisions);
}

std::vector<Check> ReadRuleSet(std::istream& in, const std::string& path,
                               const std::vector<std::string>& header, LibrarySet& libraries,
                               std::vector<std::string>* problems, Decisions* decisions) {
  return ReadChecks(in, path, &header, libraries, problems, decisions);
}

}  // namespace txhost
