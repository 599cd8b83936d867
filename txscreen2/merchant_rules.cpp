// TESTMERCHANT and SAMEZIPCODE: a merchant on a given day, and one postal code off the Internet.
#include "rule.h"
#include "txscreen2.h"

using txscreen::TextEqual;

namespace {

constexpr char kInternetChannel[] = "Internet";

}  // namespace

extern "C" {

RuleResult TESTMERCHANT(OCIEnv*, OCIError* err, OCISvcCtx*, const char* a, const char* b,
                        const char* day, OCIDate date) {
  if (a == nullptr || b == nullptr || day == nullptr) return 0;
  // The conversion comes first, whatever a and b hold, so that its failure is always shown.
  char text[txscreen::kDayTextSize];
  bool converted = txscreen::DayAbbrev(err, &date, text);
  if (!TextEqual(a, b)) return 0;
  if (!converted) return 0;
  return TextEqual(text, day) ? 1 : 0;
}

RuleResult SAMEZIPCODE(const char* a, const char* b, const char* channel) {
  if (a == nullptr || b == nullptr || channel == nullptr) return 0;
  if (!TextEqual(a, b)) return 0;
  return TextEqual(channel, kInternetChannel) ? 0 : 1;
}

}  // extern "C"
