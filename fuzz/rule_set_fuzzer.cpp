// Fuzzes the host's rule-set reader: any text, no crash, and a check is only ever given with
// the number of arguments its rule takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "library_set.h"
#include "rule_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> header = {"id",   "amount",  "previous_amount",
                                                  "date", "account", "channel"};
  // No directory: every rule fails to resolve, and everything before that still runs.
  static txhost::LibrarySet libraries("/nonexistent-txscreen-fuzz");
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> problems;
  std::vector<txhost::Check> checks =
      txhost::ReadRuleSet(in, "fuzz.conf", header, libraries, &problems);
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
