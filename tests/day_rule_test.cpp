// TESTDATE on the host's session: the day name the client library writes, compared exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database_rule_test.h"
#include "txscreen.h"

namespace {

using Strings = std::vector<std::string>;

OCIDate Date(int year, int month, int day) {
  return OCIDate{static_cast<sb2>(year), static_cast<ub1>(month), static_cast<ub1>(day), {0, 0, 0}};
}

class DayRuleTest : public testing_support::DatabaseRuleTest {
 protected:
  RuleResult TestDate(const char* day, OCIDate date) {
    return Rule<TestDateFn>("TESTDATE")(handles_.env, handles_.err, handles_.svc, day, date);
  }
};

TEST_F(DayRuleTest, FiresOnlyOnTheNamedDayAsTheClientLibraryWritesIt) {
  const char* const days[] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
  for (int offset = 0; offset < 7; ++offset) {
    OCIDate date = Date(2026, 12, 7 + offset);  // Monday 7 December 2026 onwards
    for (int other = 0; other < 7; ++other) {
      EXPECT_EQ(TestDate(days[other], date), other == offset ? 1 : 0)
          << "2026-12-" << 7 + offset << " as " << days[other];
    }
  }
  EXPECT_TRUE(Alerts().empty());
}

TEST_F(DayRuleTest, KnowsTheCalendarAcrossLeapYearsAndTheGregorianReform) {
  struct Case {
    OCIDate date;
    const char* day;
  } cases[] = {
      {Date(2000, 1, 1), "SAT"},  {Date(1970, 1, 1), "THU"},   {Date(2024, 2, 29), "THU"},
      {Date(1900, 3, 1), "THU"},  {Date(9999, 12, 31), "FRI"}, {Date(1582, 10, 15), "FRI"},
      {Date(1582, 10, 4), "THU"},  // the last Julian day, followed directly by 15 October
      {Date(1, 1, 1), "SAT"},      // Julian 1 January AD 1
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TestDate(c.day, c.date), 1)
        << c.date.OCIDateYYYY << "-" << int(c.date.OCIDateMM) << "-" << int(c.date.OCIDateDD);
  }
}

TEST_F(DayRuleTest, ComparesExactly) {
  OCIDate monday = Date(2026, 12, 7);
  for (const char* day : {"mon", "Mon", "MONDAY", "MON ", " MON", "MO", ""}) {
    EXPECT_EQ(TestDate(day, monday), 0) << "\"" << day << "\"";
  }
  EXPECT_EQ(TestDate(nullptr, monday), 0);
  EXPECT_TRUE(Alerts().empty());
}

TEST_F(DayRuleTest, UsesOnlyTheErrorHandle) {
  auto rule = Rule<TestDateFn>("TESTDATE");
  EXPECT_EQ(rule(nullptr, handles_.err, nullptr, "MON", Date(2026, 12, 7)), 1);
  EXPECT_TRUE(ocisim::Violations().empty());
}

TEST_F(DayRuleTest, GivesTheClientLibraryTheFormatSizeAndLanguageItExpects) {
  OCIDate date = Date(2026, 12, 9);
  ASSERT_EQ(TestDate("WED", date), 1);
  auto calls = ocisim::CallLog();
  ASSERT_EQ(calls.size(), 1u) << "one conversion, nothing else";
  const auto& call = calls[0];
  EXPECT_EQ(call.function, "OCIDateToText");
  EXPECT_EQ(call.Arg("err"), ocisim::LoggedPointer(handles_.err));
  EXPECT_EQ(call.Arg("date_value"), "2026-12-09 00:00:00");
  EXPECT_EQ(call.Arg("fmt"), "DY");
  EXPECT_EQ(call.Arg("fmt_length"), "3");
  EXPECT_EQ(call.Arg("lang_name"), "null");
  EXPECT_EQ(call.Arg("lang_length"), "0");
  EXPECT_EQ(call.Arg("buf_size_value"), "99");
}

TEST_F(DayRuleTest, ShowsAFailedConversionAndAnswersZero) {
  struct Case {
    OCIDate date;
    const char* alert;
  } cases[] = {
      {Date(2026, 0, 1), "ORA-01843: not a valid month"},
      {Date(2026, 13, 1), "ORA-01843: not a valid month"},
      {Date(2026, 12, 0), "ORA-01847: day of month must be between 1 and last day of month"},
      {Date(2026, 4, 31), "ORA-01847: day of month must be between 1 and last day of month"},
      {Date(2025, 2, 29), "ORA-01847: day of month must be between 1 and last day of month"},
      {Date(1582, 10, 10), "ORA-01839: date not valid for month specified"},
  };
  for (const Case& c : cases) {
    spy_->Clear();
    // An empty expected day would match an empty day area: it must not fire either.
    EXPECT_EQ(TestDate("", c.date), 0) << c.alert;
    EXPECT_EQ(TestDate("MON", c.date), 0) << c.alert;
    EXPECT_EQ(Alerts(), (Strings{c.alert, c.alert}));
  }
}

TEST_F(DayRuleTest, WithoutAnErrorHandleAnswersZeroAndShowsNothing) {
  auto rule = Rule<TestDateFn>("TESTDATE");
  EXPECT_EQ(rule(handles_.env, nullptr, handles_.svc, "", Date(2026, 12, 7)), 0);
  EXPECT_EQ(ocisim::CallLog().at(0).status, OCI_INVALID_HANDLE);
  EXPECT_TRUE(Alerts().empty());
}

}  // namespace
