// ShowAlert and ReportOciError: what the user sees when a client-library call fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alert_spy.h"
#include "rule.h"
#include "stand_in.h"

namespace {

using testing_support::AlertSpy;

class ReportOciErrorTest : public testing_support::StandInTest {
 protected:
  // Leaves `text` as error record 1 of the fixture's error handle.
  void FailACallWith(const std::string& text) {
    ocisim_fail_call("OCIDateToText", 1, OCI_ERROR, text.c_str());
    OCIDate date{2026, 12, 7, {0, 0, 0}};
    ub4 size = 99;
    OraText day[100];
    ASSERT_EQ(OCIDateToText(err_, &date, reinterpret_cast<const OraText*>("DY"), 3, nullptr, 0,
                            &size, day),
              OCI_ERROR);
  }
};

TEST_F(ReportOciErrorTest, ShowsRecordOneOfTheErrorHandle) {
  FailACallWith("ORA-20001: account is frozen");
  AlertSpy spy;
  txscreen::ReportOciError(err_);
  EXPECT_EQ(spy.texts(), std::vector<std::string>{"ORA-20001: account is frozen"});

  auto fetch = ocisim::CallsTo("OCIErrorGet");
  ASSERT_EQ(fetch.size(), 1u);
  EXPECT_EQ(fetch[0].Arg("hndlp"), ocisim::LoggedPointer(err_));
  EXPECT_EQ(fetch[0].Arg("recordno"), "1");
  EXPECT_EQ(fetch[0].Arg("sqlstate"), "null");
  EXPECT_NE(fetch[0].Arg("errcodep"), "null");
  EXPECT_EQ(fetch[0].Arg("bufsiz"), "250");
  EXPECT_EQ(fetch[0].Arg("type"), std::to_string(OCI_HTYPE_ERROR));
}

TEST_F(ReportOciErrorTest, CutsALongTextToTheArea) {
  std::string text = "ORA-20002: " + std::string(300, 'x');
  FailACallWith(text);
  AlertSpy spy;
  txscreen::ReportOciError(err_);
  EXPECT_EQ(spy.texts(), std::vector<std::string>{text.substr(0, txscreen::kErrorTextSize - 1)});
}

// Leaves bytes on the stack where the next call's locals are likely to be.
__attribute__((noinline)) void DirtyTheStack() {
  volatile char junk[4096];
  for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 'X';
}

TEST_F(ReportOciErrorTest, ShowsAnEmptyAlertWhenNoRecordIsWritten) {
  AlertSpy spy;
  DirtyTheStack();
  txscreen::ReportOciError(err_);  // a fresh error handle holds no record
  FailACallWith("ORA-20003: present, but the fetch fails");
  ocisim_fail_call("OCIErrorGet", 1, OCI_ERROR, nullptr);
  DirtyTheStack();
  txscreen::ReportOciError(err_);
  EXPECT_EQ(spy.texts(), (std::vector<std::string>{"", ""}));
  auto fetches = ocisim::CallsTo("OCIErrorGet");
  ASSERT_EQ(fetches.size(), 2u);
  EXPECT_EQ(fetches[0].status, OCI_NO_DATA);
  EXPECT_EQ(fetches[1].status, OCI_ERROR);
}

TEST(ShowAlertTest, ShowsTheExactText) {
  AlertSpy spy;
  txscreen::ShowAlert("prepare error");
  txscreen::ShowAlert("");
  EXPECT_EQ(spy.texts(), (std::vector<std::string>{"prepare error", ""}));
}

}  // namespace
