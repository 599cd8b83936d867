// Placeholder scanning and the parser of one-call anonymous blocks.
#include "plsql.h"

#include <algorithm>
#include <cctype>

#include "database.h"

namespace ocisim {
namespace {

bool IsIdentifierChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '#';
}

struct Token {
  std::string text;  // upper case for words
  size_t offset;
};

// Splits into words, placeholders (":name") and single punctuation characters.
std::vector<Token> Tokenize(const std::string& text) {
  std::vector<Token> tokens;
  for (size_t at = 0; at < text.size();) {
    char c = text[at];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++at;
    } else if (IsIdentifierChar(c) ||
               (c == ':' && at + 1 < text.size() && IsIdentifierChar(text[at + 1]))) {
      size_t end = at + 1;
      while (end < text.size() && IsIdentifierChar(text[end])) ++end;
      tokens.push_back({UpperCase(text.substr(at, end - at)), at});
      at = end;
    } else {
      tokens.push_back({std::string(1, c), at});
      ++at;
    }
  }
  return tokens;
}

void Position(const std::string& text, size_t offset, int* line, int* column) {
  *line = 1;
  *column = 1;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++*line;
      *column = 1;
    } else {
      ++*column;
    }
  }
}

std::string SyntaxError(const std::string& text, const std::vector<Token>& tokens, size_t index) {
  int line = 1, column = 1;
  std::string symbol = "end-of-file";
  if (index < tokens.size()) {
    Position(text, tokens[index].offset, &line, &column);
    symbol = tokens[index].text;
  } else {
    Position(text, text.size(), &line, &column);
  }
  return "ORA-06550: line " + std::to_string(line) + ", column " + std::to_string(column) +
         ":\nPLS-00103: Encountered the symbol \"" + symbol + "\"";
}

}  // namespace

std::vector<std::string> FindPlaceholders(const std::string& statement) {
  std::vector<std::string> names;
  for (size_t at = 0; at < statement.size(); ++at) {
    char c = statement[at];
    if (c == '\'') {
      // A quote inside a literal is written twice, which this loop reads as close and reopen.
      at = statement.find('\'', at + 1);
      if (at == std::string::npos) break;
    } else if (c == '-' && at + 1 < statement.size() && statement[at + 1] == '-') {
      at = statement.find('\n', at);
      if (at == std::string::npos) break;
    } else if (c == '/' && at + 1 < statement.size() && statement[at + 1] == '*') {
      at = statement.find("*/", at + 2);
      if (at == std::string::npos) break;
      ++at;
    } else if (c == ':' && at + 1 < statement.size() && IsIdentifierChar(statement[at + 1])) {
      size_t end = at + 1;
      while (end < statement.size() && IsIdentifierChar(statement[end])) ++end;
      std::string name = UpperCase(statement.substr(at + 1, end - at - 1));
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      at = end - 1;
    }
  }
  return names;
}

bool ParseProcedureCall(const std::string& statement, ProcedureCall* call, std::string* error) {
  std::vector<Token> tokens = Tokenize(statement);
  size_t i = 0;
  auto next_is = [&](const char* text) { return i < tokens.size() && tokens[i].text == text; };
  auto fail = [&]() {
    *error = SyntaxError(statement, tokens, i);
    return false;
  };
  if (!next_is("BEGIN") && !next_is("DECLARE")) {
    *error = "ORA-00900: invalid SQL statement";
    return false;
  }
  if (!next_is("BEGIN")) return fail();
  ++i;
  if (i >= tokens.size() || !IsIdentifierChar(tokens[i].text[0])) return fail();
  Position(statement, tokens[i].offset, &call->line, &call->column);
  call->name = tokens[i++].text;
  while (next_is(".")) {
    ++i;
    if (i >= tokens.size() || !IsIdentifierChar(tokens[i].text[0])) return fail();
    call->name += "." + tokens[i++].text;
  }
  call->args.clear();
  if (next_is("(")) {
    ++i;
    while (true) {
      // A placeholder is a colon and a name; a colon alone is a syntax error.
      if (i >= tokens.size() || tokens[i].text[0] != ':' || tokens[i].text.size() < 2) {
        return fail();
      }
      call->args.push_back(tokens[i++].text.substr(1));
      if (next_is(")")) break;
      if (!next_is(",")) return fail();
      ++i;
    }
    ++i;
  }
  if (!next_is(";")) return fail();
  ++i;
  if (!next_is("END")) return fail();
  ++i;
  if (!next_is(";")) return fail();
  ++i;
  if (i != tokens.size()) return fail();
  return true;
}

ParsedStatement ParseStatement(const std::string& statement) {
  ParsedStatement parsed;
  parsed.placeholders = FindPlaceholders(statement);
  parsed.is_call = ParseProcedureCall(statement, &parsed.call, &parsed.error);
  return parsed;
}

}  // namespace ocisim
