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

// A plain decimal ("-12.50") as a whole number of 10^-scale units. False when it is not one, or
// has more digits than such a count holds exactly.
bool ParseDecimal(const std::string& text, int64_t* units, int* scale) {
  constexpr size_t kMaxDigits = 15;
  size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  int64_t value = 0;
  size_t digits = 0;
  *scale = -1;
  for (; at < text.size(); ++at) {
    if (text[at] == '.' && *scale < 0) {
      *scale = 0;
      continue;
    }
    if (text[at] < '0' || text[at] > '9' || ++digits > kMaxDigits) return false;
    value = value * 10 + (text[at] - '0');
    if (*scale >= 0) ++*scale;
  }
  if (digits == 0) return false;
  *scale = std::max(*scale, 0);
  *units = text[0] == '-' ? -value : value;
  return true;
}

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
// range exactly when it is FROM plus a whole number of steps.
bool ParseRange(const std::string& inner, ParamKind kind, Sweep* sweep, std::string* problem) {
  size_t dots = inner.find("..");
  size_t step_at = inner.find(" step ");
  if (kind != ParamKind::kAmount) {
    *problem = "a range sweeps an amount; list the values instead";
    return false;
  }
  if (step_at == std::string::npos || step_at < dots) {
    *problem = "a range is written FROM..TO step STEP";
    return false;
  }
  const std::string texts[] = {Trim(inner.substr(0, dots)),
                               Trim(inner.substr(dots + 2, step_at - dots - 2)),
                               Trim(inner.substr(step_at + 6))};
  int64_t units[3];
  int scales[3];
  for (int i = 0; i < 3; ++i) {
    if (texts[i].empty() || !ParseDecimal(texts[i], &units[i], &scales[i])) {
      *problem =
          "a range is written FROM..TO step STEP, with three decimal numbers of at most "
          "15 digits";
      return false;
    }
  }
  const int scale = std::max({scales[0], scales[1], scales[2]});
  for (int i = 0; i < 3; ++i) {
    for (int s = scales[i]; s < scale; ++s) units[i] *= 10;
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
    std::string text = DecimalText(from + i * step, scale);
    Value value;
    std::string reason;
    if (!ParseAmount(text, &value.amount, &reason)) {
      *problem = "its values are amounts, but " + BadValue(text, reason);
      return false;
    }
    sweep->texts.push_back(text);
    sweep->values.push_back(value);
  }
  return true;
}

bool ParseList(const std::string& inner, ParamKind kind, Sweep* sweep, std::string* problem) {
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
// library is loaded and no column looked up. Null for a line with no check, or none usable.
std::optional<Check> ParseLine(const std::string& text, size_t number,
                               std::set<std::string>* labels, Problems* problems) {
  auto problem = [&](const std::string& message) { problems->push_back({number, message}); };
  std::vector<std::string> words;
  if (!SplitRuleLine(text, &words)) {
    problem("a quoted literal is not closed");
    return std::nullopt;
  }
  if (words.empty()) return std::nullopt;
  if (words.size() < 3) {
    problem("expected a label, a library and a rule");
    return std::nullopt;
  }
  Check check;
  check.label = words[0];
  check.line = number;
  if (!IsLabel(check.label)) problem("the label \"" + check.label + "\" is not a plain name");
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
    std::string bad = ReadSweep(index, set, words[2], &check);
    if (!bad.empty()) problem(bad);
  }
  return check;
}

// Parsing: every check of `in`.
std::vector<Check> ParseChecks(std::istream& in, Problems* problems) {
  std::vector<Check> checks;
  std::set<std::string> labels;
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (auto check = ParseLine(text, number, &labels, problems))
      checks.push_back(std::move(*check));
  }
  if (checks.empty() && problems->empty()) problems->push_back({0, "no checks"});
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
                              std::vector<std::string>* problems) {
  Problems found;
  std::vector<Check> checks = ParseChecks(in, &found);
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
  ReadChecks(in, path_, nullptr, libraries_, &problems);
  return problems;
}

std::vector<Check> RuleSet::Bind(const std::vector<std::string>& header,
                                 std::vector<std::string>* problems) {
  std::istringstream in(text_);
  return ReadChecks(in, path_, &header, libraries_, problems);
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

std::vector<Check> ParseRuleSet(std::istream& in, const std::string& path,
                                const std::vector<std::string>& header,
                                std::vector<std::string>* problems) {
  Problems found;
  std::vector<Check> checks = ParseChecks(in, &found);
  BindColumns(header, &checks, &found);
  AppendProblems(path, std::move(found), problems);
  return checks;
}

std::vector<Check> LoadRuleSet(const std::string& path, const std::vector<std::string>& header,
                               LibrarySet& libraries, std::vector<std::string>* problems) {
  std::string text, error;
  if (!ReadRuleText(path, &text, &error)) {
    problems->push_back(error);
    return {};
  }
  std::istringstream in(text);
  return ReadChecks(in, path, &header, libraries, problems);
}

std::vector<Check> ReadRuleSet(std::istream& in, const std::string& path,
                               const std::vector<std::string>& header, LibrarySet& libraries,
                               std::vector<std::string>* problems) {
  return ReadChecks(in, path, &header, libraries, problems);
}

}  // namespace txhost
