// Reading and checking the rule set before any row is screened.
#include "rule_set.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>

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

bool IsLabel(const std::string& word) {
  return std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
  });
}

}  // namespace

bool SplitRuleLine(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  for (size_t at = 0; at < line.size();) {
    if (std::isspace(static_cast<unsigned char>(line[at]))) {
      ++at;
      continue;
    }
    size_t start = at;
    if (line[at] == '"') {
      for (++at;; ++at) {
        if (at >= line.size()) return false;
        if (line[at] == '"') {
          if (at + 1 < line.size() && line[at + 1] == '"') {
            ++at;
            continue;
          }
          ++at;
          break;
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

std::vector<Check> LoadRuleSet(const std::string& path, const std::vector<std::string>& header,
                               LibrarySet& libraries, std::vector<std::string>* problems) {
  std::ifstream in(path);
  if (!in) {
    problems->push_back(path + ": cannot be read");
    return {};
  }
  return ReadRuleSet(in, path, header, libraries, problems);
}

std::vector<Check> ReadRuleSet(std::istream& in, const std::string& path,
                               const std::vector<std::string>& header, LibrarySet& libraries,
                               std::vector<std::string>* problems) {
  std::vector<Check> checks;
  std::set<std::string> labels;
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    auto problem = [&](const std::string& message) {
      problems->push_back(path + ":" + std::to_string(number) + ": " + message);
    };
    std::vector<std::string> words;
    if (!SplitRuleLine(text, &words)) {
      problem("a quoted literal is not closed");
      continue;
    }
    if (words.empty()) continue;
    if (words.size() < 3) {
      problem("expected a label, a library and a rule");
      continue;
    }
    Check check;
    check.label = words[0];
    check.line = number;
    if (!IsLabel(check.label)) problem("the label \"" + check.label + "\" is not a plain name");
    if (!labels.insert(check.label).second) problem("the label " + check.label + " is used twice");
    check.rule = FindRule(words[1], words[2]);
    if (check.rule == nullptr) {
      bool known_library = false;
      for (const std::string& library : CatalogLibraries()) known_library |= library == words[1];
      problem(known_library ? words[1] + " has no rule " + words[2]
                            : "unknown library " + words[1]);
      continue;
    }
    std::string error;
    check.function = libraries.Resolve(*check.rule, &error);
    if (check.function == nullptr) problem(error);

    std::vector<ParamKind> kinds = check.rule->ValueParams();
    if (words.size() - 3 != kinds.size()) {
      problem(words[2] + " takes " + std::to_string(kinds.size()) + " arguments (" +
              KindList(kinds) + "), not " + std::to_string(words.size() - 3));
      continue;
    }
    for (size_t i = 0; i < kinds.size(); ++i) {
      const std::string& word = words[3 + i];
      CheckArg arg;
      arg.kind = kinds[i];
      arg.source = word;
      if (IsQuoted(word) || IsBareLiteral(word)) {
        std::string literal = IsQuoted(word) ? Unquote(word) : word;
        if (!ParseValue(arg.kind, literal, &arg.literal, &error)) {
          problem("argument " + std::to_string(i + 1) + " of " + words[2] + " is " +
                  KindName(arg.kind) + ", but " + BadValue(literal, error));
        }
      } else {
        auto column = std::find(header.begin(), header.end(), word);
        if (column == header.end()) {
          problem("unknown column " + word);
        } else {
          arg.from_column = true;
          arg.column = static_cast<size_t>(column - header.begin());
        }
      }
      check.args.push_back(std::move(arg));
    }
    checks.push_back(std::move(check));
  }
  if (checks.empty() && problems->empty()) problems->push_back(path + ": no checks");
  return checks;
}

}  // namespace txhost
