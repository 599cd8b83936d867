// Just enough of the statement language for the stand-in: bind placeholders and one-call blocks.
#ifndef TXSCREEN_OCISIM_PLSQL_H_
#define TXSCREEN_OCISIM_PLSQL_H_

#include <string>
#include <vector>

namespace ocisim {

// The placeholders of a statement (":aid" gives "AID"), upper case, in order of first use.
// Colons inside string literals and comments are not placeholders.
std::vector<std::string> FindPlaceholders(const std::string& statement);

// "begin schema.procedure(:a, :b); end;" read as the one procedure call it makes.
struct ProcedureCall {
  std::string name;               // upper case, dotted: "SCORING.ISOVERAVERAGE"
  std::vector<std::string> args;  // the placeholder of each argument, upper case
  int line = 1;                   // where the name starts, for error texts
  int column = 1;
};

// Parses an anonymous block that makes one procedure call with placeholder arguments. Gives false
// and the server's error text for anything else.
bool ParseProcedureCall(const std::string& statement, ProcedureCall* call, std::string* error);

// A statement text as the stand-in reads it once, at the first prepare of that text.
struct ParsedStatement {
  std::vector<std::string> placeholders;
  bool is_call = false;
  ProcedureCall call;  // when is_call
  std::string error;   // otherwise: what executing the text gives
};
ParsedStatement ParseStatement(const std::string& statement);

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_PLSQL_H_
