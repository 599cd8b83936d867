// ShowAlert without a desktop: one write of the text and a newline to standard error.
#include <gtest/gtest.h>

#include <string>

#include "alert_spy.h"
#include "rule.h"

namespace {

using testing_support::AlertSpy;

TEST(ShowAlertPosixTest, WritesTextAndNewlineInOneWrite) {
  AlertSpy spy;
  txscreen::ShowAlert("bind2 error");
  auto alerts = spy.alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].written, "bind2 error\n");
}

TEST(ShowAlertPosixTest, CutsATextBeyondItsLineBuffer) {
  AlertSpy spy;
  txscreen::ShowAlert(std::string(5000, 'y').c_str());
  auto alerts = spy.alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].written, std::string(1023, 'y') + "\n");
}

}  // namespace
