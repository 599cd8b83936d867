/* The rules exported by the txscreen2 library, for the host that loads it.
 *
 * The conventions every rule follows are described in rule_types.h. On Windows the exports also
 * carry the fixed ordinals that txscreen2.def gives them. Loading the library never fails on its
 * own account.
 */
#ifndef TXSCREEN_TXSCREEN2_H_
#define TXSCREEN_TXSCREEN2_H_

#include "rule_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fires when a equals b and the abbreviated day name of `date` ("DY" format, as TESTDATE reads
 * it: MON ... SUN) equals `day`. The day conversion runs first, even when a and b differ, so a
 * failed conversion is always shown; it then answers 0. Only `err` of the triple is used. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL TESTMERCHANT(OCIEnv* env, OCIError* err, OCISvcCtx* svc,
                                                      const char* a, const char* b, const char* day,
                                                      OCIDate date);
typedef RuleResult(TXSCREEN_CALL* TestMerchantFn)(OCIEnv* env, OCIError* err, OCISvcCtx* svc,
                                                  const char* a, const char* b, const char* day,
                                                  OCIDate date);

/* Fires when the postal codes a and b are equal and `channel` is not "Internet" (case matters:
 * "internet" is another channel). */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL SAMEZIPCODE(const char* a, const char* b,
                                                     const char* channel);
typedef RuleResult(TXSCREEN_CALL* SameZipCodeFn)(const char* a, const char* b, const char* channel);

#ifdef __cplusplus
}
#endif

#endif /* TXSCREEN_TXSCREEN2_H_ */
