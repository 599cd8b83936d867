// ReportOciError: shows the client library's text for the last failed call on an error handle.
#include "rule.h"

namespace txscreen {

void ReportOciError(OCIError* err) {
  // Starts empty: when there is no record to fetch, the client library writes nothing here.
  OraText text[kErrorTextSize] = {};
  FetchErrorText(err, OCI_HTYPE_ERROR, text, sizeof text);
  // The client library promises a terminator within the area; holding the last byte at zero
  // keeps the alert inside the area even if it broke that promise.
  text[sizeof text - 1] = '\0';
  ShowAlert(reinterpret_cast<const char*>(text));
}

}  // namespace txscreen
