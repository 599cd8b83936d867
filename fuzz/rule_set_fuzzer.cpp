// Fuzzes the host's rule-set reader: any text, no crash, and a check is only ever given with
// the number of arguments its rule takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "rule_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> header = {"id",   "amount",  "previous_amount",
                                                  "date", "account", "channel"};
  // Parsing and binding; loading libraries is not the reader's part.
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> problems;
  std::vector<txhost::Check> checks = txhost::ParseRuleSet(in, "fuzz.conf", header, &problems);
  for (const txhost::Check& check : checks) {
    if (check.rule == nullptr || check.args.size() != check.rule->ValueParams().size()) {
      std::abort();
    }
    for (const txhost::CheckArg& arg : check.args) {
      if (arg.from_column && arg.column >= header.size()) std::abort();
    }
  }
  return 0;
}
