// The words of a rule-set line.
#include "rule_words.h"

#include <algorithm>
#include <cctype>

namespace txhost {
namespace {

// Moves `at` past the quoted word that starts there, a literal in '"' or a column in '`';
// false when it is not closed.
bool SkipQuoted(const std::string& line, size_t* at) {
  const char quote = line[*at];
  for (++*at;; ++*at) {
    if (*at >= line.size()) return false;
    if (line[*at] != quote) continue;
    if (*at + 1 < line.size() && line[*at + 1] == quote) {
      ++*at;
      continue;
    }
    ++*at;
    return true;
  }
}

// Moves `at` past the bracketed set that starts there; quoted literals inside may hold anything.
// False when it is not closed.
bool SkipSet(const std::string& line, size_t* at) {
  for (++*at;;) {
    if (*at >= line.size()) return false;
    if (line[*at] == ']') {
      ++*at;
      return true;
    }
    if (line[*at] == '"') {
      if (!SkipQuoted(line, at)) return false;
    } else {
      ++*at;
    }
  }
}

}  // namespace

bool IsQuoted(const std::string& word) { return word.size() >= 2 && word.front() == '"'; }

std::string Unquote(const std::string& word) {
  std::string text;
  for (size_t i = 1; i + 1 < word.size(); ++i) {
    text.push_back(word[i]);
    if (word[i] == word[0]) ++i;  // a doubled quote stands for one
  }
  return text;
}

bool IsQuotedColumn(const std::string& word) { return word.size() >= 2 && word.front() == '`'; }

bool IsListReference(const std::string& word) { return word.size() >= 2 && word[0] == '@'; }

std::string ListName(const std::string& word) {
  const std::string rest = word.substr(1);
  return IsQuoted(rest) ? Unquote(rest) : rest;
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

bool NextRuleLine(std::istream& in, std::string* line) {
  line->clear();
  std::istream::int_type c;
  while ((c = in.get()) != std::istream::traits_type::eof()) {
    if (c == '\n') return true;
    if (c == '\r') {
      if (in.peek() == '\n') in.get();
      return true;
    }
    line->push_back(static_cast<char>(c));
  }
  return !line->empty();
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

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

bool SplitRuleLine(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  for (size_t at = 0; at < line.size();) {
    if (std::isspace(static_cast<unsigned char>(line[at]))) {
      ++at;
      continue;
    }
    size_t start = at;
    if (line[at] == '"' || line[at] == '`' ||
        (line[at] == '@' && at + 1 < line.size() && line[at + 1] == '"')) {
      if (line[at] == '@') ++at;
      if (!SkipQuoted(line, &at)) return false;
    } else if (line[at] == '[') {
      if (!SkipSet(line, &at)) return false;
    } else {
      if (line[at] == '#') break;  // a comment runs to the end of the line
      while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at])) &&
             line[at] != '#') {
        ++at;
      }
    }
    words->push_back(line.substr(start, at - start));
  }
  return true;
}

}  // namespace txhost
