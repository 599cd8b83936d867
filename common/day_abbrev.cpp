// DayAbbrev: a date's abbreviated day name from the client library, on the host's error handle.
#include "rule.h"

namespace txscreen {
namespace {

// The format length counts the terminator: 3, as the client library takes it.
constexpr char kDayFormat[] = "DY";

}  // namespace

bool DayAbbrev(OCIError* err, const OCIDate* date, char (&day)[kDayTextSize]) {
  // Empty from the start, so a conversion that writes nothing leaves no stack bytes to compare;
  // the last byte is never the client library's and always ends the text.
  day[0] = '\0';
  day[kDayTextSize - 1] = '\0';
  ub4 size = kDayTextSize - 1;
  sword status =
      OCIDateToText(err, date, reinterpret_cast<const OraText*>(kDayFormat), sizeof kDayFormat,
                    nullptr, 0, &size, reinterpret_cast<OraText*>(day));
  if (Failed(status)) {
    ReportOciError(err);
    day[0] = '\0';
    return false;
  }
  return day[0] != '\0';
}

}  // namespace txscreen
