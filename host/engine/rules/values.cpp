// Argument parsing with no dependence on the locale.
#include "values.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace txhost {
namespace {

bool IsLeap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Most amounts are a few digits around a point. With at most 7 digits, the digits (under 2^24)
// and the power of ten are both exact floats, and one float division rounds their quotient
// correctly: the float from_chars gives, at a fraction of the cost. (On x87, whose quotient is
// rounded twice, the 64-bit intermediate is wide enough to keep that true.)
bool ShortDecimal(std::string_view text, float* amount) {
  static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  at += negative;
  uint32_t digits = 0;
  int count = 0, after_point = 0;
  bool point = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c >= '0' && c <= '9') {
      if (++count > 7) return false;  // 9,999,999 < 2^24
      digits = digits * 10 + static_cast<uint32_t>(c - '0');
      after_point += point;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (count == 0) return false;
  const float value = static_cast<float>(digits) / kPowersOfTen[after_point];
  *amount = negative ? -value : value;
  return true;
}

bool Digits(std::string_view text, size_t at, size_t count, int* number) {
  *number = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *number = *number * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::string BadValue(std::string_view text, const std::string& problem) {
  // A huge field is cut to its start.
  constexpr size_t kShown = 40;
  // A NUL would end the message wherever it is printed as a C string.
  auto shown = [](std::string_view bytes) {
    std::string part(bytes);
    for (size_t at = 0; (at = part.find('\0', at)) != std::string::npos; at += 2) {
      part.replace(at, 1, "\\0");
    }
    return part;
  };
  if (text.size() <= kShown) return "\"" + shown(text) + "\" " + problem;
  return "\"" + shown(text.substr(0, kShown)) + "...\" (" + std::to_string(text.size()) +
         " bytes) " + problem;
}

bool ParseAmount(std::string_view text, float* amount, std::string* problem) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  // One sign at most: from_chars takes no '+', so it is stepped over here, and "+-500" must not
  // become -500.
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin == end || *begin == '-' || *begin == '+') {
      *problem = "is not a number";
      return false;
    }
  }
  if (ShortDecimal(std::string_view(begin, end - begin), amount)) return true;
  float value = 0;
  auto [stop, code] = std::from_chars(begin, end, value);
  if (text.empty() || code == std::errc::invalid_argument || stop != end) {
    *problem = "is not a number";
    return false;
  }
  if (code == std::errc::result_out_of_range || std::isinf(value)) {
    *problem = "does not fit a float";
    return false;
  }
  if (std::isnan(value)) {
    *problem = "is not a number";
    return false;
  }
  *amount = value;
  return true;
}

bool ParseDate(std::string_view text, OCIDate* date, std::string* problem) {
  int year = 0, month = 0, day = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, &year) ||
      !Digits(text, 5, 2, &month) || !Digits(text, 8, 2, &day)) {
    *problem = "is not a date in the form YYYY-MM-DD";
    return false;
  }
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    *problem = "is not a calendar date";
    return false;
  }
  *date = OCIDate{};
  date->OCIDateYYYY = static_cast<sb2>(year);
  date->OCIDateMM = static_cast<ub1>(month);
  date->OCIDateDD = static_cast<ub1>(day);
  return true;
}

bool ReadField(std::string_view field, bool may_hold_nul, Value* value, std::string* problem) {
  // Rules take texts as C strings: they would see only what comes before a NUL.
  if (may_hold_nul && std::memchr(field.data(), '\0', field.size()) != nullptr) {
    *problem = "holds a NUL byte";
    return false;
  }
  value->field_text = field.data();
  return true;
}

bool ParseValue(ParamKind kind, std::string_view text, Value* value, std::string* problem) {
  switch (kind) {
    case ParamKind::kAmount:
      return ParseAmount(text, &value->amount, problem);
    case ParamKind::kDate:
      return ParseDate(text, &value->date, problem);
    case ParamKind::kText:
      if (!ReadField(text, true, value, problem)) return false;
      value->text.assign(text);
      value->field_text = nullptr;
      return true;
    case ParamKind::kHandles:
      break;
  }
  *problem = "the handle triple is not read from text";
  return false;
}

std::string ValueText(ParamKind kind, const Value& value) {
  switch (kind) {
    case ParamKind::kAmount: {
      char text[32];
      auto result = std::to_chars(text, text + sizeof text, value.amount);
      return std::string(text, result.ptr);
    }
    case ParamKind::kDate: {
      char text[16];
      std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(value.date.OCIDateYYYY),
                    value.date.OCIDateMM, value.date.OCIDateDD);
      return text;
    }
    case ParamKind::kText:
      return value.c_text();
    case ParamKind::kHandles:
      break;
  }
  return "";
}

}  // namespace txhost
