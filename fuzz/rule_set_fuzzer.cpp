// Fuzzes the host's rule-set reader: any text, no crash, a check is only ever given with the
// number of arguments its rule takes, and a set read without problems decides: its weights name
// its checks and its thresholds rise.
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
  txhost::Decisions decisions;
  std::vector<txhost::Check> checks =
      txhost::ParseRuleSet(in, "fuzz.conf", header, &problems, &decisions);
  for (const txhost::Check& check : checks) {
    if (check.rule == nullptr || check.args.size() != check.rule->ValueParams().size()) {
      std::abort();
    }
    for (const txhost::CheckArg& arg : check.args) {
      if (arg.from_column && arg.column >= header.size()) std::abort();
    }
  }
  if (!problems.empty()) return 0;
  for (const auto& [check, score] : decisions.weights) {
    if (check >= checks.size()) std::abort();
  }
  for (size_t o = 2; o < decisions.outcomes.size(); ++o) {
    if (*decisions.outcomes[o].from <= *decisions.outcomes[o - 1].from) std::abort();
  }
  const std::vector<char> all(checks.size(), 1);
  const txhost::RowDecision decision = decisions.Decide(all);
  if (decisions.ScoreText(decision.score).empty()) std::abort();
  return 0;
}
