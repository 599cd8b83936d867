// OCIDateToText: a date as text, in a format model and the default date language.
#include <cstring>
#include <string>

#include "calendar.h"
#include "database.h"
#include "oci_api.h"
#include "state.h"

using ocisim::Call;
using ocisim::ErrorRecord;

namespace {

// The client library's format when the caller gives none.
constexpr char kDefaultFormat[] = "DD-MON-RR";

bool IsAmerican(const std::string& language) {
  std::string upper = ocisim::UpperCase(language);
  return upper.empty() || upper == "AMERICAN" || upper == "ENGLISH";
}

std::string TextUpTo(const OraText* text, size_t length) {
  if (text == nullptr) return std::string();
  const char* chars = reinterpret_cast<const char*>(text);
  return std::string(chars, strnlen(chars, length));
}

}  // namespace

extern "C" {

sword OCIDateToText(OCIError* err, const OCIDate* date, const OraText* fmt, ub1 fmt_length,
                    const OraText* lang_name, ub4 lang_length, ub4* buf_size, OraText* buf) {
  Call call("OCIDateToText");
  call.Arg("err", err).Arg("date", date);
  if (date != nullptr && call.logging()) call.Note("date_value", ocisim::DateFieldsText(*date));
  call.Text("fmt", fmt, fmt_length).Arg("fmt_length", fmt_length);
  call.Text("lang_name", lang_name, static_cast<sb4>(lang_length)).Arg("lang_length", lang_length);
  call.Arg("buf_size", buf_size);
  if (buf_size != nullptr) call.Arg("buf_size_value", *buf_size);
  call.Arg("buf", buf);
  ErrorRecord* errors = call.Errors(err);
  if (errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;

  if (date == nullptr) {
    return call.Fail(errors, "ORA-21560: argument 2 is null, invalid, or out of range");
  }
  if (buf_size == nullptr || buf == nullptr) {
    return call.Fail(errors, "ORA-21560: argument 7 is null, invalid, or out of range");
  }
  if (!IsAmerican(TextUpTo(lang_name, lang_length))) {
    return call.Fail(errors,
                     "ORA-12705: Cannot access NLS data files or invalid environment specified");
  }
  std::string problem = ocisim::CheckDate(*date);
  if (!problem.empty()) return call.Fail(errors, problem);
  // The format length may count the terminator or not; the text ends at either.
  std::string format = fmt_length == 0 ? kDefaultFormat : TextUpTo(fmt, fmt_length);
  std::string text;
  if (!ocisim::FormatDate(*date, format, &text, &problem)) return call.Fail(errors, problem);
  if (text.size() + 1 > *buf_size) {
    return call.Fail(errors, "ORA-01877: string is too long for internal buffer");
  }
  std::memcpy(buf, text.c_str(), text.size() + 1);
  *buf_size = static_cast<ub4>(text.size());
  return call.Return(OCI_SUCCESS);
}

}  // extern "C"
