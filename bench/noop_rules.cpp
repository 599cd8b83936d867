// A library of rules that do nothing, exported under the rules' own names and signatures: loaded
// and called as the real ones are, it measures the boundary itself, the floor of any host's call.
#include "txscreen.h"

extern "C" {

TXSCREEN_EXPORT RuleResult TXSCREEN_CALL SHARPINCREASE(float, float, float) { return 0; }
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL OVERCREDITLIMIT(float, float) { return 0; }
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL BADACCOUNT(const char*, const char*) { return 0; }
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL SPECIAL_USER(const char*, const char*, const char*,
                                                      const char*) {
  return 0;
}

}  // extern "C"
