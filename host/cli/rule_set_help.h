// The rule-set format as `txhost screen --help` gives it. The README quotes it, and a test holds
// the quote to this text.
#ifndef TXSCREEN_HOST_CLI_RULE_SET_HELP_H_
#define TXSCREEN_HOST_CLI_RULE_SET_HELP_H_

namespace txhost {

inline constexpr char kRuleSetHelp[] = R"(The rule set: one check per line, '#' starts a comment.
  LABEL  LIBRARY  RULE  ARGUMENT...
LABEL names the check's output column. There is one ARGUMENT per parameter of the rule other
than the database handles: a column of the transactions, a quoted text ("SUN", with "" for a
quote inside), or a bare number or date (400, -50, 2026-12-07). One literal of a check may be
swept: written `400 in [100..1000 step 10]` or `"SUN" in ["SAT", "SUN"]`, the check is also
tried with each value of the set, over the same rows; its column keeps the literal, and the
summary and report give each value's hits, precision and recall. For example:
  sharp_increase     txscreen   SHARPINCREASE   amount previous_amount 400
  sunday             txscreen   TESTDATE        "SUN" date
  merchant_saturday  txscreen2  TESTMERCHANT    merchant "M-0666" "SAT" date
  tuned_increase     txscreen   SHARPINCREASE   amount previous_amount 400 in [100..1000 step 10]
`txhost exports LIBRARY` lists each rule's parameters.
)";

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_RULE_SET_HELP_H_
