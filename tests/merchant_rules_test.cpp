// The rules of txscreen2: a merchant on a given day, and one postal code off the Internet.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database_rule_test.h"
#include "txscreen2.h"

namespace {

using Strings = std::vector<std::string>;

class MerchantRulesTest : public testing_support::DatabaseRuleTest {
 protected:
  const char* library_name() const override { return "txscreen2"; }

  RuleResult TestMerchant(const char* a, const char* b, const char* day, OCIDate date) {
    return Rule<TestMerchantFn>("TESTMERCHANT")(handles_.env, handles_.err, handles_.svc, a, b, day,
                                                date);
  }
};

const OCIDate kFriday{2026, 12, 11, {0, 0, 0}};
const OCIDate kBadDate{2026, 2, 30, {0, 0, 0}};
constexpr char kBadDateText[] = "ORA-01847: day of month must be between 1 and last day of month";

TEST_F(MerchantRulesTest, SameZipCodeFiresOnEqualCodesOffTheInternetChannel) {
  struct Case {
    const char *a, *b, *channel;
    RuleResult fires;
  } cases[] = {
      {"10115", "10115", "Store", 1},
      {"10115", "10115", "Internet", 0},
      {"10115", "10115", "internet", 1},  // case matters
      {"10115", "10115", "Internet ", 1},
      {"10115", "10115", "", 1},
      {"10115", "10117", "Store", 0},
      {"10115", "10117", "Internet", 0},
      {"", "", "Phone", 1},
      {nullptr, "10115", "Store", 0},
      {"10115", "10115", nullptr, 0},
  };
  auto rule = Rule<SameZipCodeFn>("SAMEZIPCODE");
  for (const Case& c : cases) {
    EXPECT_EQ(rule(c.a, c.b, c.channel), c.fires)
        << (c.a ? c.a : "null") << " " << (c.b ? c.b : "null") << " "
        << (c.channel ? c.channel : "null");
  }
  EXPECT_EQ(ocisim_call_count(), 0u);
}

TEST_F(MerchantRulesTest, TestMerchantFiresForTheMerchantOnTheNamedDay) {
  struct Case {
    const char *a, *b, *day;
    RuleResult fires;
  } cases[] = {
      {"M-42", "M-42", "FRI", 1},    {"M-42", "M-42", "THU", 0}, {"M-42", "M-42", "fri", 0},
      {"M-42", "M-42", "FRIDAY", 0}, {"M-42", "M-43", "FRI", 0}, {"M-42", "m-42", "FRI", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TestMerchant(c.a, c.b, c.day, kFriday), c.fires) << c.a << " " << c.b << " " << c.day;
  }
  EXPECT_EQ(ocisim::CallsTo("OCIDateToText").size(), std::size(cases))
      << "the day is converted on every call, a and b equal or not";
  EXPECT_TRUE(Alerts().empty());
}

TEST_F(MerchantRulesTest, TestMerchantShowsAFailedConversionWhateverTheMerchants) {
  EXPECT_EQ(TestMerchant("M-42", "M-43", "FRI", kBadDate), 0);
  EXPECT_EQ(TestMerchant("M-42", "M-42", "FRI", kBadDate), 0);
  EXPECT_EQ(TestMerchant("M-42", "M-42", "", kBadDate), 0) << "an empty day area matches nothing";
  EXPECT_EQ(Alerts(), (Strings{kBadDateText, kBadDateText, kBadDateText}));
}

TEST_F(MerchantRulesTest, TestMerchantUsesOnlyTheErrorHandle) {
  auto rule = Rule<TestMerchantFn>("TESTMERCHANT");
  EXPECT_EQ(rule(nullptr, handles_.err, nullptr, "M-1", "M-1", "FRI", kFriday), 1);
  auto calls = ocisim::CallsTo("OCIDateToText");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Arg("fmt"), "DY");
  EXPECT_EQ(calls[0].Arg("fmt_length"), "3");
  EXPECT_EQ(calls[0].Arg("buf_size_value"), "99");
  EXPECT_TRUE(ocisim::Violations().empty());
}

}  // namespace
