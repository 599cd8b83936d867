// The rule set: which rule each check calls, on which transaction columns and literal values.
//
// One check per line: a label (the output column), the library, the rule, and one argument per
// parameter that is not the handle triple. An argument is a column name, a quoted literal
// ("SUN", with "" for a quote inside), or a bare literal that starts with a digit, a sign or a
// point (400, -50, 2026-12-07). A '#' outside a quoted literal starts a comment.
//
//   sharp_increase  txscreen  SHARPINCREASE  amount previous_amount 400
//   sunday          txscreen  TESTDATE       "SUN" date
#ifndef TXSCREEN_HOST_RULE_SET_H_
#define TXSCREEN_HOST_RULE_SET_H_

#include <istream>
#include <string>
#include <vector>

#include "library_set.h"
#include "rule_catalog.h"

namespace txhost {

struct CheckArg {
  ParamKind kind;
  bool from_column = false;
  size_t column = 0;   // when from_column
  Value literal;       // otherwise
  std::string source;  // the column name, or the literal as written
};

struct Check {
  std::string label;
  const RuleSpec* rule = nullptr;
  void* function = nullptr;  // the rule's exported address
  std::vector<CheckArg> args;
  size_t line = 0;
};

// Reads the rule set at `path` against the transactions' header, resolving every rule in
// `libraries`. The whole file is checked: every problem is appended to `problems` as
// "path:line: message", and the checks are usable only when there is none.
std::vector<Check> LoadRuleSet(const std::string& path, const std::vector<std::string>& header,
                               LibrarySet& libraries, std::vector<std::string>* problems);
// The same, for a rule set already open; `name` stands for it in the problems.
std::vector<Check> ReadRuleSet(std::istream& in, const std::string& name,
                               const std::vector<std::string>& header, LibrarySet& libraries,
                               std::vector<std::string>* problems);

// Splits one rule-set line into words; quoted words keep their quotes. False for an unclosed
// quote.
bool SplitRuleLine(const std::string& line, std::vector<std::string>* words);

}  // namespace txhost

#endif  // TXSCREEN_HOST_RULE_SET_H_
