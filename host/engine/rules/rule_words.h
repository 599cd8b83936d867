// The words of a rule-set line: quoted literals, bare literals, labels and bracketed sets, and the
// problems the reading of a line finds, each on its line.
#ifndef TXSCREEN_HOST_ENGINE_RULES_RULE_WORDS_H_
#define TXSCREEN_HOST_ENGINE_RULES_RULE_WORDS_H_

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

namespace txhost {

// A problem of the rule set, on its line (0 for the file as a whole).
struct RuleProblem {
  size_t line;
  std::string message;
};
using RuleProblems = std::vector<RuleProblem>;

// Splits one rule-set line into words; quoted words (in '"' or '`') keep their quotes, and a
// bracketed set is one word. False for an unclosed quote or bracket.
bool SplitRuleLine(const std::string& line, std::vector<std::string>* words);

// Whether `word` is a quoted literal ("SUN").
bool IsQuoted(const std::string& word);
// Whether `word` is a column's name in backquotes (`2fa_zip`): any column can be named so.
bool IsQuotedColumn(const std::string& word);
// A quoted literal's text, or a quoted column's name, a doubled quote inside read as one.
std::string Unquote(const std::string& word);
// Whether `word` names a list: @PATH, or @"PATH" for a path with spaces.
bool IsListReference(const std::string& word);
// The name of the list `word` refers to, without its '@' and quotes.
std::string ListName(const std::string& word);
// Whether `word` is a literal written bare: it starts with a digit, a sign or a point.
bool IsBareLiteral(const std::string& word);
// Whether `word` may name a check or an outcome: letters, digits, '_', '-' and '.'.
bool IsLabel(const std::string& word);
// What a plain name is, for the message that refuses one: it names a column of the results,
// which every tool must be able to read.
inline constexpr char kPlainName[] =
    " (ASCII letters, digits, '_', '-' and '.'; it names a column of the results)";

// Reads the next line of a rule set into `line`, its end (LF, CRLF or a lone CR) left off.
// False at the end of `in`.
bool NextRuleLine(std::istream& in, std::string* line);

// `text` without the spaces and tabs around it.
std::string Trim(const std::string& text);
// The items of a list "a, \"b, c\", d", each trimmed; a quoted item may hold commas.
std::vector<std::string> SplitList(const std::string& inner);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_RULE_WORDS_H_
