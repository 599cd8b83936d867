// The four rules that decide from their arguments alone: two amount thresholds, two text matches.
#include "rule.h"
#include "txscreen.h"

using txscreen::TextEqual;

extern "C" {

RuleResult SHARPINCREASE(float a, float b, float c) {
  // Widening is exact, and the difference of two floats is not rounded back to float: 1e8 - 1
  // would round to 1e8 in single precision. A NaN anywhere makes the comparison false.
  double increase = static_cast<double>(a) - static_cast<double>(b);
  return increase >= static_cast<double>(c) ? 1 : 0;
}

RuleResult OVERCREDITLIMIT(float a, float b) { return a > b ? 1 : 0; }

RuleResult BADACCOUNT(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return 0;
  return TextEqual(a, b) ? 1 : 0;
}

RuleResult SPECIAL_USER(const char* a, const char* b, const char* c, const char* d) {
  if (a == nullptr || c == nullptr || !TextEqual(c, a)) return 0;
  if (b == nullptr || d == nullptr) return 0;
  return TextEqual(d, b) ? 0 : 1;
}

}  // extern "C"
