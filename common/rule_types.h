/* What every exported rule of both libraries has in common, for the host that calls them.
 *
 * A rule is a plain C function, exported under its upper-case name without decoration and called
 * with the platform's default C calling convention (cdecl: the caller removes the arguments). On
 * 64-bit Windows and x86-64 ELF there is a single convention for C functions, and cdecl means
 * that one: __cdecl is accepted there and changes nothing. It
 * answers a RuleResult: 1 when it fires and 0 when it does not; it never answers anything else and
 * never reports a failure through its result.
 *
 * Arguments are passed by value in the order each rule declares them:
 *  - text: a zero-terminated 8-bit string, owned by the caller and only read. Two texts are equal
 *    when they match byte for byte up to the terminator: case matters, nothing is trimmed, and two
 *    empty texts are equal. Texts are never null by contract; a rule given a null text answers 0
 *    and makes no client-library call.
 *  - amount: a 32-bit IEEE float.
 *  - date: an OCIDate, whole, by value.
 *  - handle triple: the host's OCIEnv*, OCIError* and OCISvcCtx*, in that order, always the first
 *    three arguments of a rule that talks to the database. The host owns them before, during and
 *    after the call; a rule never frees, closes or replaces them. Calls on one error handle from
 *    several threads at once are the host's concern.
 *
 * A client-library fault inside a rule is shown to the interactive user as a modal alert, and the
 * rule gives its answer once the alert is dismissed. Rules keep no state between calls, so any
 * number of threads may call them at once.
 *
 * Alerts where there is no desktop (ELF platforms). By default an alert is its text and a newline
 * on standard error, in one write. A host that wants the alerts itself (to tie each to the
 * transaction that raised it, say) defines the variable TxscreenAlertHook in its executable and
 * exports it (with GNU ld: -Wl,--export-dynamic-symbol=TxscreenAlertHook). The libraries refer to
 * it weakly, so they load with or without it. While it points at a handler, every alert calls
 * that handler, on the rule's own thread, with the exact text; the rule goes on only once the
 * handler has returned. Set it before rules run and do not change it while any may be running.
 * On Windows an alert is a MessageBoxA call, which a host redirects through the libraries' import
 * tables.
 */
#ifndef TXSCREEN_COMMON_RULE_TYPES_H_
#define TXSCREEN_COMMON_RULE_TYPES_H_

#include <stdint.h>

#include "oci_api.h"

#if defined(_WIN32)
#define TXSCREEN_CALL __cdecl
#define TXSCREEN_EXPORT
#else
#define TXSCREEN_CALL
#define TXSCREEN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t RuleResult;

/* The handle triple as one value, for hosts that keep it together; rules take it as three. */
typedef struct OciHandles {
  OCIEnv* env;
  OCIError* err;
  OCISvcCtx* svc;
} OciHandles;

typedef void (*TxscreenAlertHandler)(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* TXSCREEN_COMMON_RULE_TYPES_H_ */
