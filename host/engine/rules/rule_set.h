// The rule set: which rule each check calls, on which transaction columns and literal values.
//
// One check per line: a label (the output column), the library, the rule, and one argument per
// parameter that is not the handle triple. An argument is a column name, a quoted literal
// ("SUN", with "" for a quote inside), or a bare literal that starts with a digit, a sign or a
// point (400, -50, 2026-12-07). Any column can be named in backquotes (`2fa_zip`); a bare word
// that is also a column's name is refused, as either could be meant. A '#' outside a quoted
// literal starts a comment.
//
// One literal of a check may be swept: followed by `in [...]`, it is tried with each value of the
// set as well, over the same rows: a numeric range `[FROM..TO step STEP]` (amounts), or a list of
// literals `[250, 400, 600]`, `["SAT", "SUN"]`, `[2026-12-01, 2026-12-07]`. The literal itself is
// the check's current value, which its output column keeps.
//
//   sharp_increase  txscreen  SHARPINCREASE  amount previous_amount 400
//   sunday          txscreen  TESTDATE       "SUN" date
//   tuned           txscreen  SHARPINCREASE  amount previous_amount 400 in [100..1000 step 10]
//
// A literal text that the rule compares for equality may name a list of texts instead,
// `@PATH` or `@"PATH"` (text_list.h), its path relative to the rule set's folder; the check fires
// when the rule fires for any value of the list. One argument of a check may be a list.
//
//   bad_account  txscreen  BADACCOUNT  account @lists/bad_accounts.txt
//
// A check may end with its score, `score N`, what it adds to the row's score when it fires (a
// decimal, negative for a sign of low risk). Outcome lines, lowest first, turn the score into a
// decision: the first applies below every threshold, each other from its score upward, and its
// threshold may be swept as a literal is:
//
//   outcome approve
//   outcome review  from 40
//   outcome decline from 75 in [50..120 step 2.5]
#ifndef TXSCREEN_HOST_ENGINE_RULES_RULE_SET_H_
#define TXSCREEN_HOST_ENGINE_RULES_RULE_SET_H_

#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decisions.h"
#include "library_set.h"
#include "rule_catalog.h"
#include "sweeps.h"
#include "text_list.h"

namespace txhost {

struct CheckArg {
  ParamKind kind;
  bool from_column = false;
  size_t column = 0;   // when from_column
  Value literal;       // otherwise
  std::string source;  // the column name, or the literal as written
  std::shared_ptr<const TextList> list;  // a list literal's values, when it names one
  // A literal written bare (400, 2026-12-07), which a column may also be named, and what is
  // wrong with it as a literal: told once the header shows whether a column has that name.
  bool bare = false;
  std::string literal_problem;
};

struct Check {
  std::string label;
  const RuleSpec* rule = nullptr;
  void* function = nullptr;  // the rule's exported address
  std::vector<CheckArg> args;
  size_t line = 0;
  std::optional<Sweep> sweep;
  std::optional<Decimal> score;  // what the check adds to a row's score when it fires
  int list_arg = -1;             // the argument that is a list, or -1
};

// The results columns of txhost's own beside the checks' (no check may take their names).
inline constexpr char kScoreColumn[] = "_score";
inline constexpr char kOutcomeColumn[] = "_outcome";

// Reads a rule set in two of the three steps of LoadRuleSet: parsing, and binding to `header`.
// No library is loaded, so no check's function is set, and no list is read: `lists`, when given,
// finds them.
std::vector<Check> ParseRuleSet(std::istream& in, const std::string& name,
                                const std::vector<std::string>& header,
                                std::vector<std::string>* problems, Decisions* decisions = nullptr,
                                ListShelf* lists = nullptr);

// Reads the rule set at `path` against the transactions' header, resolving every rule in
// `libraries`. The whole file is checked: every problem is appended to `problems` as
// "path:line: message", and the checks are usable only when there is none. The scores and
// outcomes go to `decisions`, when given.
std::vector<Check> LoadRuleSet(const std::string& path, const std::vector<std::string>& header,
                               LibrarySet& libraries, std::vector<std::string>* problems,
                               Decisions* decisions = nullptr);
// The same, for a rule set already open; `name` stands for it in the problems.
std::vector<Check> ReadRuleSet(std::istream& in, const std::string& name,
                               const std::vector<std::string>& header, LibrarySet& libraries,
                               std::vector<std::string>* problems,
                               Decisions* decisions = nullptr);

// A rule set as runs use it: its text and its lists, each read once, and the libraries its rules
// resolve in. It can be checked on its own and then bound to the header of each input, with the
// same messages as LoadRuleSet gives.
class RuleSet {
 public:
  // Reads the file. Null and "path: reason" when it cannot be read.
  static std::unique_ptr<RuleSet> Open(const std::string& path,
                                       const std::string& library_directory, std::string* error);
  // A rule set already read, such as one sent to another machine; `path` names it in messages.
  static std::unique_ptr<RuleSet> FromText(const std::string& path, std::string text,
                                           const std::string& library_directory) {
    return std::unique_ptr<RuleSet>(new RuleSet(path, std::move(text), library_directory));
  }

  // Every problem that does not depend on an input: syntax, libraries, rules, literals, sweeps.
  std::vector<std::string> Problems();
  // The columns the checks read, each once, in the order they are first read. Empty when the set
  // has problems of its own.
  std::vector<std::string> ColumnsRead();
  // The checks with their columns found in `header`; usable only when `problems` gains nothing.
  std::vector<Check> Bind(const std::vector<std::string>& header,
                          std::vector<std::string>* problems, Decisions* decisions = nullptr);

  const std::string& path() const { return path_; }
  const std::string& text() const { return text_; }
  LibrarySet& libraries() { return libraries_; }
  const LibrarySet& libraries() const { return libraries_; }

  // A list given as its values stands for `@` and its name, before any file. Given before the
  // set is first read.
  void GiveList(std::shared_ptr<const TextList> list) { lists_.Give(std::move(list)); }
  // The lists the checks name, each once, in the order of their names. Complete once the set has
  // been read (Problems, ColumnsRead or Bind).
  std::vector<std::shared_ptr<const TextList>> Lists() const { return lists_.Found(); }
  // The bytes that identify what the set decides: its text, and with lists, each list's name and
  // values as well. Without lists it is the text alone.
  std::string Fingerprint() const;

 private:
  RuleSet(std::string path, std::string text, const std::string& library_directory)
      : path_(std::move(path)),
        text_(std::move(text)),
        libraries_(library_directory),
        lists_(path_) {}
  std::vector<Check> Read(const std::vector<std::string>* header,
                          std::vector<std::string>* problems, Decisions* decisions);

  std::string path_;
  std::string text_;
  LibrarySet libraries_;
  ListShelf lists_;
};

// Whether two values of `kind` are the same value (an amount as the float the rule gets).
bool SameValue(ParamKind kind, const Value& a, const Value& b);

// The files of the lists `checks` read, each once: inputs, which no output may replace.
std::vector<std::string> ListFiles(const std::vector<Check>& checks);

// A check labelled like the id column would give the results two columns of one name, which no
// reader could tell apart: each is a problem, "path:line: message".
void RefuseLabelsLikeTheId(const std::vector<Check>& checks, const std::string& id_column,
                           const std::string& path, std::vector<std::string>* problems);
// Adds a problem when the id column has the name of a decision column the set's results carry.
void RefuseAnIdLikeTheDecisionColumns(const Decisions& decisions, const std::string& id_column,
                                      const std::string& path,
                                      std::vector<std::string>* problems);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_RULE_SET_H_
