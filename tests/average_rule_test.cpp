// TESTCONN on the host's session: the scoring block, its binds, every failing step, and what the
// rule leaves behind (nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "database_rule_test.h"
#include "memory_usage.h"
#include "txscreen.h"

namespace {

using Strings = std::vector<std::string>;

constexpr char kStatement[] = "begin scoring.isOverAverage(:aid, :amt, :risk); end;";

class AverageRuleTest : public testing_support::DatabaseRuleTest {
 protected:
  void SetUp() override {
    DatabaseRuleTest::SetUp();
    for (double amount : {100.0, 200.0, 300.0}) ocisim_add_history(kService, "ACC-1", amount);
  }

  RuleResult TestConn(float amount, const char* account) {
    return Rule<TestConnFn>("TESTCONN")(handles_.env, handles_.err, handles_.svc, amount, account);
  }
  void ExpectNothingLeftBehind() {
    EXPECT_EQ(HandlesLeftBehind(), 0u);
    EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_STMT), 0u);
    EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_BIND), 0u);
    EXPECT_EQ(ocisim_open_cursors(), 0u);
  }
};

TEST_F(AverageRuleTest, FiresWhenTheAmountIsOverTheAccountsAverage) {
  struct Case {
    float amount;
    const char* account;
    RuleResult fires;
  } cases[] = {
      {250, "ACC-1", 1},  {200.01f, "ACC-1", 1}, {200, "ACC-1", 0},
      {150, "ACC-1", 0},  {250, "acc-1", 0},  // another account, without history
      {1e9f, "ACC-2", 0}, {1e9f, "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TestConn(c.amount, c.account), c.fires) << c.amount << " on " << c.account;
  }
  EXPECT_TRUE(Alerts().empty());
  EXPECT_TRUE(ocisim::Violations().empty());
  ExpectNothingLeftBehind();
}

TEST_F(AverageRuleTest, FiresOnlyOnARiskOfExactlyOne) {
  for (sword risk : {1, 0, 2, -1, 100}) {
    ocisim_set_procedure(kService, OCISIM_BODY_FIXED_RISK, risk, nullptr);
    EXPECT_EQ(TestConn(10, "ACC-1"), risk == 1 ? 1 : 0) << "risk " << risk;
  }
  EXPECT_TRUE(Alerts().empty());
}

TEST_F(AverageRuleTest, ShowsTheDatabasesTextWhenTheProcedureFails) {
  ocisim_set_procedure(kService, OCISIM_BODY_RAISE, 1, "ORA-20001: account ACC-1 is under review");
  EXPECT_EQ(TestConn(250, "ACC-1"), 0);
  ocisim_set_procedure(kService, OCISIM_BODY_MISSING, 0, nullptr);
  EXPECT_EQ(TestConn(250, "ACC-1"), 0);
  Strings alerts = Alerts();
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0], "ORA-20001: account ACC-1 is under review");
  EXPECT_NE(alerts[1].find("PLS-00201: identifier 'SCORING.ISOVERAVERAGE' must be declared"),
            std::string::npos)
      << alerts[1];
  ExpectNothingLeftBehind();
}

TEST_F(AverageRuleTest, MakesExactlyTheCallsOfTheProtocol) {
  const char account[] = "ACC-1";
  ASSERT_EQ(TestConn(250, account), 1);
  EXPECT_EQ(ocisim::CallSequence(),
            (Strings{"OCIHandleAlloc", "OCIStmtPrepare", "OCIBindByName", "OCIBindByName",
                     "OCIBindByName", "OCIStmtExecute", "OCIHandleFree"}));
  auto calls = ocisim::CallLog();
  ASSERT_EQ(calls.size(), 7u);
  const std::string env = ocisim::LoggedPointer(handles_.env);
  const std::string err = ocisim::LoggedPointer(handles_.err);

  EXPECT_EQ(calls[0].Arg("parenth"), env);
  EXPECT_EQ(calls[0].Arg("type"), std::to_string(OCI_HTYPE_STMT));
  EXPECT_EQ(calls[0].Arg("xtramem_sz"), "0");
  EXPECT_EQ(calls[0].Arg("usrmempp"), "null");
  const std::string stmt = calls[1].Arg("stmtp");

  EXPECT_EQ(calls[1].Arg("errhp"), err);
  EXPECT_EQ(calls[1].Arg("stmt"), kStatement);
  EXPECT_EQ(calls[1].Arg("stmt_len"), std::to_string(std::strlen(kStatement)));
  EXPECT_EQ(calls[1].Arg("language"), std::to_string(OCI_NTV_SYNTAX));
  EXPECT_EQ(calls[1].Arg("mode"), "0");

  struct Bind {
    const char* name;
    std::string size;
    int type;
  } binds[] = {{":aid", "6", SQLT_STR}, {":amt", "4", SQLT_FLT}, {":risk", "4", SQLT_INT}};
  for (int i = 0; i < 3; ++i) {
    const auto& call = calls[2 + i];
    SCOPED_TRACE(binds[i].name);
    EXPECT_EQ(call.Arg("stmtp"), stmt);
    EXPECT_EQ(call.Arg("bind_in"), "null") << "a bind handle to allocate starts null";
    EXPECT_EQ(call.Arg("errhp"), err);
    EXPECT_EQ(call.Arg("placeholder"), binds[i].name);
    EXPECT_EQ(call.Arg("placeh_len"), "-1");
    EXPECT_EQ(call.Arg("value_sz"), binds[i].size);
    EXPECT_EQ(call.Arg("dty"), std::to_string(binds[i].type));
    for (const char* absent : {"indp", "alenp", "rcodep", "curelep"}) {
      EXPECT_EQ(call.Arg(absent), "null") << absent;
    }
    EXPECT_EQ(call.Arg("maxarr_len"), "0");
    EXPECT_EQ(call.Arg("mode"), "0");
  }
  EXPECT_EQ(calls[2].Arg("valuep"), ocisim::LoggedPointer(account)) << "the host's own text";
  EXPECT_NE(calls[3].Arg("valuep"), calls[4].Arg("valuep"));

  EXPECT_EQ(calls[5].Arg("svchp"), ocisim::LoggedPointer(handles_.svc));
  EXPECT_EQ(calls[5].Arg("stmtp"), stmt);
  EXPECT_EQ(calls[5].Arg("errhp"), err);
  EXPECT_EQ(calls[5].Arg("iters"), "1");
  EXPECT_EQ(calls[5].Arg("rowoff"), "0");
  EXPECT_EQ(calls[5].Arg("snap_in"), "null");
  EXPECT_EQ(calls[5].Arg("snap_out"), "null");
  EXPECT_EQ(calls[5].Arg("mode"), "0");

  EXPECT_EQ(calls[6].Arg("hndlp"), stmt);
  EXPECT_EQ(calls[6].Arg("type"), std::to_string(OCI_HTYPE_STMT));
}

TEST_F(AverageRuleTest, BindsAnEmptyAccountAsItsTerminatorAlone) {
  EXPECT_EQ(TestConn(250, ""), 0);
  auto binds = ocisim::CallsTo("OCIBindByName");
  ASSERT_EQ(binds.size(), 3u);
  EXPECT_EQ(binds[0].Arg("value_sz"), "1");
  EXPECT_TRUE(ocisim::Violations().empty());
}

TEST_F(AverageRuleTest, WithoutAnAccountMakesNoCall) {
  EXPECT_EQ(TestConn(250, nullptr), 0);
  EXPECT_EQ(ocisim_call_count(), 0u);
}

TEST_F(AverageRuleTest, StaysWithinTheServersOpenCursorLimit) {
  // Each call's statement holds a cursor while it lives; kept, the 51st call would fail.
  for (int call = 0; call < 200; ++call) ASSERT_EQ(TestConn(250, "ACC-1"), 1) << call;
  EXPECT_TRUE(Alerts().empty());
  ExpectNothingLeftBehind();
}

// Under a sanitizer, where resident memory means nothing, a tenth of the calls: the handles are
// counted all the same, and a sanitizer's leak check finds a leak on every call in far fewer.
TEST_F(AverageRuleTest, AMillionCallsLeaveNoHandleAndNoMemoryBehind) {
  const int calls = testing_support::kResidentMemoryIsMeaningful ? 1000000 : 100000;
  stand_in_.StopLogging();
  auto rule = Rule<TestConnFn>("TESTCONN");
  for (int i = 0; i < 10000; ++i) rule(handles_.env, handles_.err, handles_.svc, 250, "ACC-1");
  size_t before = testing_support::ResidentBytes();
  int fired = 0;
  for (int i = 0; i < calls; ++i) {
    fired += rule(handles_.env, handles_.err, handles_.svc, 250, "ACC-1");
  }
  size_t after = testing_support::ResidentBytes();
  EXPECT_EQ(fired, calls);
  ExpectNothingLeftBehind();
  double growth_mb = (static_cast<double>(after) - static_cast<double>(before)) / (1 << 20);
  RecordProperty("resident_growth_kb", std::to_string(static_cast<long>(growth_mb * 1024)));
  std::printf("resident memory across %d calls: %.1f MB before, %+.2f MB after\n", calls,
              before / double(1 << 20), growth_mb);
  EXPECT_TRUE(Alerts().empty());
  if (!testing_support::kResidentMemoryIsMeaningful) {
    GTEST_SKIP() << "the handle counts were checked; resident memory means nothing under a "
                    "sanitizer's allocator, so its growth is not";
  }
  EXPECT_LT(growth_mb, 4.0);
}

}  // namespace
