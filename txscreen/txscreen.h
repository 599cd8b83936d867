/* The rules exported by the txscreen library, for the host that loads it.
 *
 * The conventions every rule follows (calling convention, results, text equality, the handle
 * triple, alerts) are described in rule_types.h. The function-pointer types are what a host casts
 * the result of GetProcAddress or dlsym to. On Windows the exports also carry fixed ordinals:
 * 1 SHARPINCREASE, 2 BADACCOUNT, 3 OVERCREDITLIMIT, 6 SPECIAL_USER.
 */
#ifndef TXSCREEN_TXSCREEN_H_
#define TXSCREEN_TXSCREEN_H_

#include "rule_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fires when a - b >= c, the difference taken in double precision. NaN anywhere answers 0. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL SHARPINCREASE(float a, float b, float c);
typedef RuleResult(TXSCREEN_CALL* SharpIncreaseFn)(float a, float b, float c);

/* Fires when a > b. Equal amounts and NaN answer 0. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL OVERCREDITLIMIT(float a, float b);
typedef RuleResult(TXSCREEN_CALL* OverCreditLimitFn)(float a, float b);

/* Fires when the texts a and b are equal. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL BADACCOUNT(const char* a, const char* b);
typedef RuleResult(TXSCREEN_CALL* BadAccountFn)(const char* a, const char* b);

/* Fires when c equals a and d does not equal b; b and d are not read when c differs from a. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL SPECIAL_USER(const char* a, const char* b, const char* c,
                                                      const char* d);
typedef RuleResult(TXSCREEN_CALL* SpecialUserFn)(const char* a, const char* b, const char* c,
                                                 const char* d);

#ifdef __cplusplus
}
#endif

#endif /* TXSCREEN_TXSCREEN_H_ */
