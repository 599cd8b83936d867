// Every client-library call of the database rules, of TConnection and of the host's session
// set-up, made to return OCI_ERROR, OCI_SUCCESS_WITH_INFO and OCI_INVALID_HANDLE in turn (and the
// error fetch made to find nothing): the answer or result, the exact alerts, and the handles
// left behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "connection.h"
#include "database_rule_test.h"
#include "rule.h"
#include "txscreen.h"
#include "txscreen2.h"

namespace {

using Strings = std::vector<std::string>;
using txscreen::TConnection;

constexpr char kInjected[] = "ORA-20999: injected fault";
constexpr char kNotPrepared[] = "ORA-24337: statement handle not prepared";
constexpr char kNotBound[] = "ORA-01008: not all variables bound";

struct Fault {
  const char* function;
  unsigned nth;
  sword status;
};

struct Expected {
  int result;
  Strings alerts;
  size_t handles_left = 0;
};

// What a row of the matrix runs. A new operation must be handled in Run: the switch there has no
// default, so a row that names an operation nothing runs does not compile.
enum class Operation {
  kDayAbbrev,
  kTestDate,
  kTestMerchant,
  kTestConn,
  kConnect,
  kDisconnect,
  kConnectionDestructor,
  kHostSessionOpen,
  kHostSessionDestructor,
};

const char* NameOf(Operation operation) {
  switch (operation) {
    case Operation::kDayAbbrev:
      return "DayAbbrev";
    case Operation::kTestDate:
      return "TESTDATE";
    case Operation::kTestMerchant:
      return "TESTMERCHANT";
    case Operation::kTestConn:
      return "TESTCONN";
    case Operation::kConnect:
      return "TConnection::Connect";
    case Operation::kDisconnect:
      return "TConnection::Disconnect";
    case Operation::kConnectionDestructor:
      return "~TConnection";
    case Operation::kHostSessionOpen:
      return "HostSession::Open";
    case Operation::kHostSessionDestructor:
      return "~HostSession";
  }
  return "?";
}

struct Case {
  Operation operation;
  std::vector<Fault> faults;
  Expected expected;
};

std::string Describe(const Case& c) {
  std::string text = NameOf(c.operation);
  for (const Fault& f : c.faults) {
    text += " | " + std::string(f.function) + " #" + std::to_string(f.nth) + " -> " +
            std::to_string(f.status);
  }
  return text;
}

// One call made to fail with each of the three statuses, with the outcome for each.
void AddCall(std::vector<Case>* cases, Operation operation, const char* function, unsigned nth,
             Expected on_error, Expected on_info, Expected on_invalid) {
  cases->push_back({operation, {{function, nth, OCI_ERROR}}, std::move(on_error)});
  cases->push_back({operation, {{function, nth, OCI_SUCCESS_WITH_INFO}}, std::move(on_info)});
  cases->push_back({operation, {{function, nth, OCI_INVALID_HANDLE}}, std::move(on_invalid)});
}

// The error fetch after `failing` failed, made to fail in each way, or to find no record.
void AddErrorFetch(std::vector<Case>* cases, Operation operation, const char* failing, int result,
                   bool alerts) {
  Fault first{failing, 1, OCI_ERROR};
  auto shown = [&](const char* text) { return alerts ? Strings{text} : Strings{}; };
  cases->push_back({operation, {first, {"OCIErrorGet", 1, OCI_ERROR}}, {result, shown("")}});
  cases->push_back(
      {operation, {first, {"OCIErrorGet", 1, OCI_SUCCESS_WITH_INFO}}, {result, shown(kInjected)}});
  cases->push_back(
      {operation, {first, {"OCIErrorGet", 1, OCI_INVALID_HANDLE}}, {result, shown("")}});
  cases->push_back({operation, {first, {"OCIErrorGet", 1, OCI_NO_DATA}}, {result, shown("")}});
}

std::vector<Case> DayConversionCases(Operation operation) {
  std::vector<Case> cases;
  AddCall(&cases, operation, "OCIDateToText", 1, {0, {kInjected}}, {1, {}}, {0, {}});
  AddErrorFetch(&cases, operation, "OCIDateToText", 0, true);
  return cases;
}

std::vector<Case> AverageRuleCases() {
  std::vector<Case> cases;
  const Operation op = Operation::kTestConn;
  AddCall(&cases, op, "OCIHandleAlloc", 1, {0, {"error"}}, {1, {}}, {0, {}});
  AddCall(&cases, op, "OCIStmtPrepare", 1,
          {0, {"prepare error", "bind1 error", "bind2 error", "bind3 error", kNotPrepared}},
          {1, {}}, {0, {"bind1 error", "bind2 error", "bind3 error", kNotPrepared}});
  const char* const bind_alerts[] = {"bind1 error", "bind2 error", "bind3 error"};
  for (unsigned nth = 1; nth <= 3; ++nth) {
    AddCall(&cases, op, "OCIBindByName", nth, {0, {bind_alerts[nth - 1], kNotBound}}, {1, {}},
            {0, {kNotBound}});
  }
  AddCall(&cases, op, "OCIStmtExecute", 1, {0, {kInjected}}, {1, {}}, {0, {}});
  // A statement the client library would not free stays, with its three binds; the rule has no
  // other way to release it.
  AddCall(&cases, op, "OCIHandleFree", 1, {1, {}, 4}, {1, {}}, {1, {}, 4});
  AddErrorFetch(&cases, op, "OCIStmtExecute", 0, true);
  return cases;
}

std::vector<Case> ConnectCases() {
  std::vector<Case> cases;
  const Operation op = Operation::kConnect;
  const Expected connected{0, {}}, refused{1, {}};
  // Connect tests the session begin alone: a call failing before it shows only in what the
  // session begin then makes of the missing handle or attachment.
  AddCall(&cases, op, "OCIEnvCreate", 1, connected, connected, connected);
  AddCall(&cases, op, "OCIHandleAlloc", 1, connected, connected, connected);  // error handle
  AddCall(&cases, op, "OCIHandleAlloc", 2, refused, connected, refused);      // server
  AddCall(&cases, op, "OCIServerAttach", 1, refused, connected, refused);
  AddCall(&cases, op, "OCIHandleAlloc", 3, connected, connected, connected);  // service context
  AddCall(&cases, op, "OCIAttrSet", 1, refused, connected, refused);          // its server
  AddCall(&cases, op, "OCIHandleAlloc", 4, connected, connected, connected);  // session
  AddCall(&cases, op, "OCIAttrSet", 2, refused, connected, refused);          // user name
  AddCall(&cases, op, "OCIAttrSet", 3, refused, connected, refused);          // password
  AddCall(&cases, op, "OCISessionBegin", 1, refused, connected, connected);
  AddCall(&cases, op, "OCIAttrSet", 4, connected, connected, connected);  // the session's place
  AddErrorFetch(&cases, op, "OCISessionBegin", 1, false);
  return cases;
}

std::vector<Case> DisconnectCases() {
  std::vector<Case> cases;
  const Operation op = Operation::kDisconnect;
  AddCall(&cases, op, "OCISessionEnd", 1, {-1, {}}, {1, {}}, {-2, {}});
  AddCall(&cases, op, "OCIServerDetach", 1, {0, {}}, {0, {}}, {0, {}});
  for (unsigned nth = 1; nth <= 4; ++nth) {
    // A child that would not go is freed with its environment.
    AddCall(&cases, op, "OCIHandleFree", nth, {0, {}}, {0, {}}, {0, {}});
  }
  AddCall(&cases, op, "OCIHandleFree", 5, {0, {}, 1}, {0, {}}, {0, {}, 1});  // the environment
  // The destructor of a connected object: whatever its Disconnect makes of the session end,
  // nothing stays behind.
  AddCall(&cases, Operation::kConnectionDestructor, "OCISessionEnd", 1, {0, {}}, {0, {}}, {0, {}});
  return cases;
}

std::vector<Case> HostSessionCases() {
  std::vector<Case> cases;
  const Operation open = Operation::kHostSessionOpen;
  const Expected failed{0, {}}, opened{1, {}};
  const std::pair<const char*, unsigned> calls[] = {
      {"OCIEnvCreate", 1},   {"OCIHandleAlloc", 1},  {"OCIHandleAlloc", 2}, {"OCIHandleAlloc", 3},
      {"OCIHandleAlloc", 4}, {"OCIServerAttach", 1}, {"OCIAttrSet", 1},     {"OCIAttrSet", 2},
      {"OCIAttrSet", 3},     {"OCISessionBegin", 1}, {"OCIAttrSet", 4}};
  for (const auto& call : calls)
    AddCall(&cases, open, call.first, call.second, failed, opened, failed);
  const Operation close = Operation::kHostSessionDestructor;
  AddCall(&cases, close, "OCISessionEnd", 1, opened, opened, opened);
  AddCall(&cases, close, "OCIServerDetach", 1, opened, opened, opened);
  for (unsigned nth = 1; nth <= 4; ++nth)
    AddCall(&cases, close, "OCIHandleFree", nth, opened, opened, opened);
  AddCall(&cases, close, "OCIHandleFree", 5, {1, {}, 1}, opened, {1, {}, 1});
  return cases;
}

class FaultMatrixTest : public testing_support::DatabaseRuleTest {
 protected:
  void SetUp() override {
    DatabaseRuleTest::SetUp();
    ocisim_add_history(kService, "ACC-1", 100);
    ocisim_define_database(TConnection::kDefaultServiceName);
    ocisim_add_user(TConnection::kDefaultServiceName, "scorer", "s3cret");
    txscreen2_ = &LoadedLibrary("txscreen2");
    spy_.reset();  // the matrix spies on both libraries
    spy_ = std::make_unique<testing_support::AlertSpy>(
        std::initializer_list<void*>{library_->native(), txscreen2_->native()});
  }

  // Runs `operation`, with `faults` injected once its set-up is done (each fault's nth call, and
  // the log that proves it fired, count from there); gives its answer or result.
  int Run(Operation operation, const std::vector<Fault>& faults,
          testing_support::ScopedFaults* scope) {
    auto inject = [&] {
      stand_in_.StartLog();
      for (const Fault& f : faults) scope->Fail(f.function, f.nth, f.status, kInjected);
    };
    const OCIDate friday{2026, 12, 11, {0, 0, 0}};
    const OciHandles& h = handles_;
    TConnection connection;
    connection.SetLogin("scorer", "s3cret", "");
    std::string error;
    switch (operation) {
      case Operation::kDayAbbrev: {
        inject();
        char day[txscreen::kDayTextSize];
        return txscreen::DayAbbrev(h.err, &friday, day) && std::string(day) == "FRI";
      }
      case Operation::kTestDate:
        inject();
        return Rule<TestDateFn>("TESTDATE")(h.env, h.err, h.svc, "FRI", friday);
      case Operation::kTestMerchant:
        inject();
        return txscreen2_->Rule<TestMerchantFn>("TESTMERCHANT")(h.env, h.err, h.svc, "M-1", "M-1",
                                                                "FRI", friday);
      case Operation::kTestConn:
        inject();
        return Rule<TestConnFn>("TESTCONN")(h.env, h.err, h.svc, 250, "ACC-1");
      case Operation::kConnect:
        inject();
        return connection.Connect();
      case Operation::kDisconnect:
      case Operation::kConnectionDestructor:
        EXPECT_EQ(connection.Connect(), 0) << "the set-up connects";
        inject();
        return operation == Operation::kConnectionDestructor ? 0 : connection.Disconnect();
      case Operation::kHostSessionOpen:
        inject();
        return txhost::HostSession::Open({"screener", "secret", kService}, false, &error) !=
               nullptr;
      case Operation::kHostSessionDestructor: {
        auto session = txhost::HostSession::Open({"screener", "secret", kService}, false, &error);
        inject();
        return session != nullptr;
      }
    }
    return 0;
  }

  testing_support::RuleLibrary* txscreen2_ = nullptr;

  // The proof that a row tested what it names: the nth call of the function since the injection
  // returned the injected status (success with information is reported as itself).
  static void ExpectFired(const Fault& fault) {
    std::vector<ocisim::LoggedCall> calls = ocisim::CallsTo(fault.function);
    ASSERT_GE(calls.size(), fault.nth)
        << fault.function << " was not called " << fault.nth << " times";
    EXPECT_EQ(calls[fault.nth - 1].status, fault.status) << fault.function << " #" << fault.nth;
  }
};

TEST_F(FaultMatrixTest, EveryCallFailingInEveryWay) {
  std::vector<Case> cases;
  for (Operation operation :
       {Operation::kDayAbbrev, Operation::kTestDate, Operation::kTestMerchant}) {
    auto day_cases = DayConversionCases(operation);
    cases.insert(cases.end(), day_cases.begin(), day_cases.end());
  }
  for (auto more : {AverageRuleCases(), ConnectCases(), DisconnectCases(), HostSessionCases()}) {
    cases.insert(cases.end(), more.begin(), more.end());
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c));
    spy_->Clear();
    int result = 0;
    {
      testing_support::ScopedFaults faults;
      result = Run(c.operation, c.faults, &faults);
      for (const Fault& f : c.faults) ExpectFired(f);
    }
    EXPECT_EQ(result, c.expected.result);
    EXPECT_EQ(Alerts(), c.expected.alerts);
    EXPECT_EQ(HandlesLeftBehind(), c.expected.handles_left);
    // A handle that a failed free kept is let go here, so the next case starts clean.
    if (HandlesLeftBehind() != 0) {
      TearDown();
      stand_in_.Restart();
      SetUp();
    }
  }
  RecordProperty("cases", static_cast<int>(cases.size()));
  std::printf("fault matrix: %zu cases\n", cases.size());
}

}  // namespace
