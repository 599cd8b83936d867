// ReportOciError: shows the client library's text for the last failed call on an error handle.
#include "rule.h"

namespace txscreen {

void ReportOciError(OCIError* err) {
  sb4 error_code = 0;
  // Starts empty: when there is no record to fetch, the client library writes nothing here.
  OraText text[kErrorTextSize] = {};
  OCIErrorGet(err, 1, nullptr, &error_code, text, sizeof text, OCI_HTYPE_ERROR);
  // The client library promises a terminator within the area; holding the last byte at zero
  // keeps the alert inside the area even if it broke that promise.
  text[sizeof text - 1] = '\0';
  ShowAlert(reinterpret_cast<const char*>(text));
}

}  // namespace txscreen
