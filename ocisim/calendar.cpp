// Calendar arithmetic and format models for the stand-in's date conversion.
#include "calendar.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ocisim {
namespace {

const char* const kDayNames[] = {"MONDAY", "TUESDAY",  "WEDNESDAY", "THURSDAY",
                                 "FRIDAY", "SATURDAY", "SUNDAY"};
const char* const kMonthNames[] = {"JANUARY",   "FEBRUARY", "MARCH",    "APRIL",
                                   "MAY",       "JUNE",     "JULY",     "AUGUST",
                                   "SEPTEMBER", "OCTOBER",  "NOVEMBER", "DECEMBER"};
constexpr size_t kLongestName = 9;  // WEDNESDAY, SEPTEMBER: full names are padded to it

// Astronomical year numbering: 1 BC is year 0.
int AstronomicalYear(int year) { return year > 0 ? year : year + 1; }

int Compare(int year, int month, int day, int other_year, int other_month, int other_day) {
  if (year != other_year) return year < other_year ? -1 : 1;
  if (month != other_month) return month < other_month ? -1 : 1;
  if (day != other_day) return day < other_day ? -1 : 1;
  return 0;
}

bool IsGregorian(int year, int month, int day) {
  return Compare(year, month, day, 1582, 10, 15) >= 0;
}

bool IsLeap(int year) {
  int y = AstronomicalYear(year);
  if (year > 1582) return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
  return y % 4 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

long JulianDayNumber(int year, int month, int day) {
  long a = (14 - month) / 12;
  long y = AstronomicalYear(year) + 4800 - a;
  long m = month + 12 * a - 3;
  long days = day + (153 * m + 2) / 5 + 365 * y + y / 4;
  return IsGregorian(year, month, day) ? days - y / 100 + y / 400 - 32045 : days - 32083;
}

// DY gives upper case, Dy capitalised, dy lower case.
std::string InCaseOf(const std::string& element, const std::string& name) {
  std::string text = name;
  bool lower_first = std::islower(static_cast<unsigned char>(element[0]));
  bool lower_second = element.size() > 1 && std::islower(static_cast<unsigned char>(element[1]));
  for (size_t i = 0; i < text.size(); ++i) {
    if (lower_first || (i > 0 && lower_second)) {
      text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    }
  }
  return text;
}

std::string Number(long value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*ld", width, value);
  return text;
}

bool StartsWith(const std::string& text, size_t at, const char* element) {
  for (size_t i = 0; element[i] != '\0'; ++i) {
    if (at + i >= text.size() ||
        std::toupper(static_cast<unsigned char>(text[at + i])) != element[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string CheckDate(const OCIDate& date) {
  int year = date.OCIDateYYYY, month = date.OCIDateMM, day = date.OCIDateDD;
  if (year < -4712 || year > 9999 || year == 0) {
    return "ORA-01841: (full) year must be between -4713 and +9999, and not be 0";
  }
  if (month < 1 || month > 12) return "ORA-01843: not a valid month";
  if (day < 1 || day > DaysInMonth(year, month)) {
    return "ORA-01847: day of month must be between 1 and last day of month";
  }
  if (year == 1582 && month == 10 && day > 4 && day < 15) {
    return "ORA-01839: date not valid for month specified";
  }
  if (date.OCIDateTime.OCITimeHH > 23) return "ORA-01850: hour must be between 0 and 23";
  if (date.OCIDateTime.OCITimeMI > 59) return "ORA-01851: minutes must be between 0 and 59";
  if (date.OCIDateTime.OCITimeSS > 59) return "ORA-01852: seconds must be between 0 and 59";
  return std::string();
}

int DayOfWeek(const OCIDate& date) {
  return static_cast<int>(JulianDayNumber(date.OCIDateYYYY, date.OCIDateMM, date.OCIDateDD) % 7);
}

namespace {

// What one element of a format model gives for a date; `written` is the element as the format
// spells it, whose case a name follows.
using ElementText = std::string (*)(const OCIDate& date, const std::string& written);

std::string Padded(const std::string& word) {
  return word + std::string(kLongestName - word.size(), ' ');
}
int Hour(const OCIDate& date) { return date.OCIDateTime.OCITimeHH; }

struct Element {
  const char* name;
  ElementText text;
};

// Longer elements first, so that MONTH is not read as MON followed by TH.
const Element kElements[] = {
    {"YYYY",
     [](const OCIDate& d, const std::string&) {
       return Number(std::abs(static_cast<int>(d.OCIDateYYYY)), 4);
     }},
    {"YY",
     [](const OCIDate& d, const std::string&) {
       return Number(std::abs(static_cast<int>(d.OCIDateYYYY)) % 100, 2);
     }},
    {"RR",
     [](const OCIDate& d, const std::string&) {
       return Number(std::abs(static_cast<int>(d.OCIDateYYYY)) % 100, 2);
     }},
    {"MONTH",
     [](const OCIDate& d, const std::string& w) {
       return InCaseOf(w, Padded(kMonthNames[d.OCIDateMM - 1]));
     }},
    {"MON",
     [](const OCIDate& d, const std::string& w) {
       return InCaseOf(w, std::string(kMonthNames[d.OCIDateMM - 1], 3));
     }},
    {"MM", [](const OCIDate& d, const std::string&) { return Number(d.OCIDateMM, 2); }},
    {"DAY", [](const OCIDate& d,
               const std::string& w) { return InCaseOf(w, Padded(kDayNames[DayOfWeek(d)])); }},
    {"DY",
     [](const OCIDate& d, const std::string& w) {
       return InCaseOf(w, std::string(kDayNames[DayOfWeek(d)], 3));
     }},
    {"DD", [](const OCIDate& d, const std::string&) { return Number(d.OCIDateDD, 2); }},
    // Sunday is day 1.
    {"D",
     [](const OCIDate& d, const std::string&) { return Number((DayOfWeek(d) + 1) % 7 + 1, 1); }},
    {"HH24", [](const OCIDate& d, const std::string&) { return Number(Hour(d), 2); }},
    {"HH", [](const OCIDate& d,
              const std::string&) { return Number(Hour(d) % 12 == 0 ? 12 : Hour(d) % 12, 2); }},
    {"MI", [](const OCIDate& d, const std::string&) { return Number(d.OCIDateTime.OCITimeMI, 2); }},
    {"SS", [](const OCIDate& d, const std::string&) { return Number(d.OCIDateTime.OCITimeSS, 2); }},
};

const Element* ElementAt(const std::string& format, size_t at) {
  for (const Element& element : kElements) {
    if (StartsWith(format, at, element.name)) return &element;
  }
  return nullptr;
}

}  // namespace

bool FormatDate(const OCIDate& date, const std::string& format, std::string* text,
                std::string* error) {
  text->clear();
  for (size_t at = 0; at < format.size();) {
    char c = format[at];
    if (c == '"') {
      size_t close = format.find('"', at + 1);
      if (close == std::string::npos) {
        *error = "ORA-01821: date format not recognized";
        return false;
      }
      text->append(format, at + 1, close - at - 1);
      at = close + 1;
      continue;
    }
    if (std::strchr("-/,.;: ", c) != nullptr) {
      text->push_back(c);
      ++at;
      continue;
    }
    const Element* element = ElementAt(format, at);
    if (element == nullptr) {
      *error = "ORA-01821: date format not recognized";
      return false;
    }
    const size_t length = std::strlen(element->name);
    text->append(element->text(date, format.substr(at, length)));
    at += length;
  }
  return true;
}

std::string DateFieldsText(const OCIDate& date) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u",
                static_cast<int>(date.OCIDateYYYY), date.OCIDateMM, date.OCIDateDD,
                date.OCIDateTime.OCITimeHH, date.OCIDateTime.OCITimeMI, date.OCIDateTime.OCITimeSS);
  return text;
}

}  // namespace ocisim
