/* Control interface of the stand-in client library, for tests, benchmarks and the reference host.
 *
 * The stand-in exports the client-library functions of oci_api.h, built as oci.dll on Windows so
 * that the rule libraries import it by the real name, plus these functions, which the rule
 * libraries never call. Everything here is safe on any thread. There is no lock over a whole
 * call: calls on different sessions run side by side, and the calls on one service context are
 * served one at a time, as a real server serves a session.
 *
 * Fault injection. ocisim_fail_call makes the nth call of a function, counted from the moment of
 * the injection (nth 1 is the very next call), return `status`. Such a fault lives until it has
 * fired once; nth 0 makes a standing fault that every call from now on meets, until
 * ocisim_clear_faults or ocisim_reset. ocisim_pending_faults counts the faults still waiting or
 * standing, so that a test can prove each of its faults fired and none carries into the next. A
 * status of OCI_SUCCESS or OCI_SUCCESS_WITH_INFO means the call still does its work and then
 * reports that status, as the client library does when it has a warning to give; any other status
 * means the call does nothing and returns it. For OCI_ERROR, `error_text` (may be null) becomes
 * error record 1 of the call's error handle, and its code is read from an "ORA-nnnnn" prefix. A
 * call that already fails on its own returns its own failure.
 *
 * Call log. ocisim_call_count counts every client-library call since the last ocisim_clear_log or
 * ocisim_reset, always: 0 means that no call was made. The details of each call are kept once it
 * returns, while the log is on: the function's name, the status it returned, and its arguments by
 * their published parameter names. Pointers read "null" or "0x" and lower-case hex digits (see
 * ocisim_pointer_text); integers read in decimal; texts read as the bytes the call was given. The
 * log keeps the latest 10,000 calls (ocisim_logged_call_count of them; the getters take an index
 * below it). Keeping details is off when the library loads, so that a host run pays nothing for
 * it, and on from ocisim_reset.
 *
 * Protocol violations. Misuse that the real client library would reject or that would corrupt a
 * real session (a null, freed or mistyped handle, a bind on an unprepared statement, ...) is
 * recorded as a sentence, in addition to the status the call returns.
 *
 * Text getters copy at most size - 1 bytes and a terminator into buf (buf may be null when size is
 * 0) and return the full length, so a caller can size its buffer.
 */
#ifndef TXSCREEN_OCISIM_OCISIM_H_
#define TXSCREEN_OCISIM_OCISIM_H_

#include <stddef.h>

#include "oci_api.h"

#if defined(_WIN32)
#define OCISIM_API
#else
#define OCISIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Frees every handle, clears the log, the faults and the violations, and turns logging on. */
OCISIM_API void OCI_CALL ocisim_reset(void);

OCISIM_API void OCI_CALL ocisim_fail_call(const char* function, unsigned nth, sword status,
                                          const char* error_text);

/* Clears the call log, its count and the violations; handles, faults and databases stay. */
OCISIM_API void OCI_CALL ocisim_clear_log(void);

OCISIM_API size_t OCI_CALL ocisim_pending_faults(void);
OCISIM_API void OCI_CALL ocisim_clear_faults(void);

/* Logging costs time and memory; long runs turn it off. */
OCISIM_API void OCI_CALL ocisim_set_call_log(int enabled);
OCISIM_API size_t OCI_CALL ocisim_call_count(void);
OCISIM_API size_t OCI_CALL ocisim_logged_call_count(void);
OCISIM_API size_t OCI_CALL ocisim_call_function(size_t index, char* buf, size_t size);
OCISIM_API sword OCI_CALL ocisim_call_status(size_t index);
OCISIM_API size_t OCI_CALL ocisim_call_arg_count(size_t index);
OCISIM_API size_t OCI_CALL ocisim_call_arg_name(size_t index, size_t arg, char* buf, size_t size);
OCISIM_API size_t OCI_CALL ocisim_call_arg_value(size_t index, size_t arg, char* buf, size_t size);

/* Live handles of one type (an OCI_HTYPE_* value), or of every type when `type` is 0. */
OCISIM_API size_t OCI_CALL ocisim_live_handles(ub4 type);

OCISIM_API size_t OCI_CALL ocisim_violation_count(void);
OCISIM_API size_t OCI_CALL ocisim_violation_text(size_t index, char* buf, size_t size);

/* Databases. A net service name reaches a database defined here or, failing that, one read at
 * each attach from the directory $OCISIM_DATABASES/<name>/ (without the variable, the sources'
 * examples/databases/<name>/), which holds users.csv (a header line,
 * then "user,password" lines) and history.csv (a header line, then "account,amount" lines).
 * User names match without regard to case, passwords and account identifiers exactly. A new
 * database has no users and no history, and its scoring.isOverAverage has the average body. The
 * functions that name a service return 0, or -1 when no database is defined under that name. */
#define OCISIM_BODY_AVERAGE 0    /* risk 1 when the amount is over the account's average */
#define OCISIM_BODY_FIXED_RISK 1 /* risk is always `risk` */
#define OCISIM_BODY_RAISE 2      /* the procedure raises `error_text` */
#define OCISIM_BODY_MISSING 3    /* the procedure does not exist */

OCISIM_API void OCI_CALL ocisim_define_database(const char* service);
/* Defines `service` from the files in `directory`; on failure writes the reason into `error`. */
OCISIM_API int OCI_CALL ocisim_load_database(const char* service, const char* directory,
                                             char* error, size_t size);
OCISIM_API int OCI_CALL ocisim_add_user(const char* service, const char* user,
                                        const char* password);
OCISIM_API int OCI_CALL ocisim_add_history(const char* service, const char* account, double amount);
OCISIM_API int OCI_CALL ocisim_set_procedure(const char* service, int body, sword risk,
                                             const char* error_text);
/* Executed statements hold a cursor until freed; past the limit (50 by default) execution fails
 * as a real server's does. */
OCISIM_API int OCI_CALL ocisim_set_open_cursor_limit(const char* service, size_t limit);
/* The server model: each call that goes to the server (attach and detach, session begin and end,
 * statement execution) waits `round_trip_us` microseconds, and at most `session_limit` sessions
 * (0: any number) are begun at once; past it a login fails with ORA-00018. A database read from a
 * directory takes both from its server.conf. */
OCISIM_API int OCI_CALL ocisim_set_server_model(const char* service, unsigned round_trip_us,
                                                size_t session_limit);
/* The most round trips to `service` under way at once since its server model was set: whether
 * a client's calls (its logins, say) overlap. 0 without a round trip, or for an unknown service. */
OCISIM_API size_t OCI_CALL ocisim_most_round_trips_at_once(const char* service);
/* Open cursors across all sessions. */
OCISIM_API size_t OCI_CALL ocisim_open_cursors(void);

/* The text the call log uses for a pointer. */
OCISIM_API size_t OCI_CALL ocisim_pointer_text(const void* pointer, char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TXSCREEN_OCISIM_OCISIM_H_ */
