// The rule-set format as `txhost screen --help` gives it. The README quotes it, and a test holds
// the quote to this text.
#ifndef TXSCREEN_HOST_CLI_RULE_SET_HELP_H_
#define TXSCREEN_HOST_CLI_RULE_SET_HELP_H_

namespace txhost {

inline constexpr char kRuleSetHelp[] = R"(The rule set: one check per line, '#' starts a comment.
  LABEL  LIBRARY  RULE  ARGUMENT...
LABEL names the check's output column. There is one ARGUMENT per parameter of the rule other
than the database handles: a column of the transactions, a quoted text ("SUN", with "" for a
quote inside), or a bare number or date (400, -50, 2026-12-07). Any column may be written in
backquotes, `2fa_zip`, and one whose name starts with a digit, a sign or a point must be: a
bare word that is also a column's name is refused. One literal of a check may be
swept: written `400 in [100..1000 step 10]` or `"SUN" in ["SAT", "SUN"]`, the check is also
tried with each value of the set, over the same rows; its column keeps the literal, and the
summary and report give each value's hits, precision and recall. For example:
  sharp_increase     txscreen   SHARPINCREASE   amount previous_amount 400
  sunday             txscreen   TESTDATE        "SUN" date
  merchant_saturday  txscreen2  TESTMERCHANT    merchant "M-0666" "SAT" date
  tuned_increase     txscreen   SHARPINCREASE   amount previous_amount 400 in [100..1000 step 10]
A check may end with its score: `score N` after its arguments, a decimal that the check adds to
the row's score when it fires (negative for a sign of low risk; a check without one adds 0). The
score is added exactly and written at the precision of the scores, after the checks as `_score`.
Outcome lines, lowest first, turn the score into a decision, `_outcome`: the first applies below
every threshold, each other from its score upward (a score equal to a threshold takes it), and
the thresholds must rise. A threshold may be swept as a literal is; the summary and report then
give, for each value, what stopping the rows that score at least it would catch:
  over_limit         txscreen   OVERCREDITLIMIT amount credit_limit  score 45.5
  trusted_user       txscreen   SPECIAL_USER    "svc-batch" registered_terminal user terminal  score -20
  outcome approve
  outcome review  from 40
  outcome decline from 75 in [50..120 step 2.5]
A text that the rule compares for equality may be a list, `@PATH` (`@"PATH"` with spaces), its
path from the rule set's folder: the check fires when the rule fires for any value of the list.
The file holds one value a line, compared byte for byte; blank lines and lines that start with
'#' are skipped, a CR before the LF is dropped, and nothing else is trimmed. An empty list, a
NUL byte or a line that is not UTF-8 is refused. One argument of a check may be a list:
  bad_account        txscreen   BADACCOUNT      account @lists/bad_accounts.txt  score 60
`outcome` is a reserved word, and `_score` and `_outcome` are no check's label.
`txhost exports LIBRARY` lists each rule's parameters, and which may be a list.
)";

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_RULE_SET_HELP_H_
