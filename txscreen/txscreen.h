/* The rules exported by the txscreen library, for the host that loads it.
 *
 * The conventions every rule follows (calling convention, results, text equality, the handle
 * triple, alerts) are described in rule_types.h. The function-pointer types are what a host casts
 * the result of GetProcAddress or dlsym to. On Windows the exports also carry the fixed ordinals
 * that txscreen.def gives them.
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

/* Fires when the abbreviated day name of `date`, as the client library writes the "DY" format in
 * the session's date language, equals `day` exactly: in the default American English that is
 * MON, TUE, WED, THU, FRI, SAT or SUN, upper case. Only `err` of the triple is used; env and svc
 * may be null. A failed conversion is shown as an alert and answers 0. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL TESTDATE(OCIEnv* env, OCIError* err, OCISvcCtx* svc,
                                                  const char* day, OCIDate date);
typedef RuleResult(TXSCREEN_CALL* TestDateFn)(OCIEnv* env, OCIError* err, OCISvcCtx* svc,
                                              const char* day, OCIDate date);

/* Fires when the block "begin scoring.isOverAverage(:aid, :amt, :risk); end;", run once on the
 * host's session with the account, the amount and a risk output, sets the risk to exactly 1.
 * Note the order: the amount comes before the account. The rule allocates one statement under
 * env and frees it, with its binds and its cursor, before it returns. A failing step shows an
 * alert ("error", "prepare error", "bind1 error" to "bind3 error", or the database's own text
 * for the execution) and the later steps still run; an execution that did not complete answers
 * 0. */
TXSCREEN_EXPORT RuleResult TXSCREEN_CALL TESTCONN(OCIEnv* env, OCIError* err, OCISvcCtx* svc,
                                                  float amount, const char* account);
typedef RuleResult(TXSCREEN_CALL* TestConnFn)(OCIEnv* env, OCIError* err, OCISvcCtx* svc,
                                              float amount, const char* account);

#ifdef __cplusplus
}
#endif

#endif /* TXSCREEN_TXSCREEN_H_ */
