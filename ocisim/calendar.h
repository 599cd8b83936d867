// Dates as the client library sees them: validity, day of the week, and text by format model.
#ifndef TXSCREEN_OCISIM_CALENDAR_H_
#define TXSCREEN_OCISIM_CALENDAR_H_

#include <string>

#include "oci_api.h"

namespace ocisim {

// Empty when the date is valid; otherwise the client library's error text. Years run from -4712
// to 9999 without a year 0; dates before 15 October 1582 are Julian, and the ten days before it
// do not exist.
std::string CheckDate(const OCIDate& date);

// 0 for Monday through 6 for Sunday. The date must be valid.
int DayOfWeek(const OCIDate& date);

// Writes `date` in the format model `format` (elements such as DY, DAY, DD, MON, MM, YYYY, RR,
// HH24, MI and SS, punctuation, and "quoted text"), in American English. The case of a name
// follows the case of its element: DY gives MON, Dy gives Mon, dy gives mon. Gives false and the
// client library's error text for an element it does not know.
bool FormatDate(const OCIDate& date, const std::string& format, std::string* text,
                std::string* error);

// "YYYY-MM-DD HH:MI:SS", whatever the fields hold, for the call log.
std::string DateFieldsText(const OCIDate& date);

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_CALENDAR_H_
