// ShowAlert on Windows: a message box with no owner, the default caption and one OK button.
#include <gtest/gtest.h>
#include <windows.h>

#include "alert_spy.h"
#include "rule.h"

namespace {

TEST(ShowAlertWinTest, ShowsAnOwnerlessMessageBoxWithDefaultCaptionAndOkButton) {
  testing_support::AlertSpy spy;
  txscreen::ShowAlert("bind3 error");
  auto alerts = spy.alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].text, "bind3 error");
  EXPECT_EQ(alerts[0].owner, nullptr);
  EXPECT_FALSE(alerts[0].has_caption);
  EXPECT_EQ(alerts[0].type, static_cast<unsigned>(MB_OK));
}

}  // namespace
