// The helpers every rule is built from: text equality and the two ways a fault reaches the user.
#ifndef TXSCREEN_COMMON_RULE_H_
#define TXSCREEN_COMMON_RULE_H_

#include <cstddef>
#include <cstring>

#include "oci_api.h"
#include "oci_calls.h"
#include "rule_types.h"

namespace txscreen {

// The size the client library is given for an error text; the alert shows at most this much.
constexpr size_t kErrorTextSize = 250;
// The day-name area; the client library may fill all but its last byte.
constexpr size_t kDayTextSize = 100;

// Byte-wise equality up to the terminator. Both texts must be non-null.
inline bool TextEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// Shows `text` as a modal alert with the system's default caption and one OK button, and returns
// once the user has dismissed it. Where there is no desktop, the text and a newline are written to
// standard error in one piece instead. Safe on any thread.
void ShowAlert(const char* text);

// Fetches error record 1 of `err` and shows its text with ShowAlert. When the client library has
// no record to give, the alert is empty rather than showing bytes that nobody wrote.
void ReportOciError(OCIError* err);

// Writes the abbreviated day name of `date` ("DY" format, the session's date language) into
// `day`. A failed conversion is shown with ReportOciError. Gives true when `day` then holds a day
// name; otherwise `day` is empty.
bool DayAbbrev(OCIError* err, const OCIDate* date, char (&day)[kDayTextSize]);

}  // namespace txscreen

#endif  // TXSCREEN_COMMON_RULE_H_
