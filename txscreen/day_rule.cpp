// TESTDATE: fires when a transaction's date falls on a given day of the week.
#include "rule.h"
#include "txscreen.h"

extern "C" RuleResult TESTDATE(OCIEnv*, OCIError* err, OCISvcCtx*, const char* day, OCIDate date) {
  if (day == nullptr) return 0;
  char text[txscreen::kDayTextSize];
  if (!txscreen::DayAbbrev(err, &date, text)) return 0;
  return txscreen::TextEqual(text, day) ? 1 : 0;
}
