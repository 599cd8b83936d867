// TConnection against the stand-in: login texts, every status of the session begin and end,
// the release order, and that no path leaves a handle or the password behind.
#include "connection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "alert_spy.h"
#include "built_library.h"
#include "control.h"
#include "memory_usage.h"
#include "ocisim.h"
#include "stand_in.h"
#include "txscreen.h"

namespace {

using txscreen::TConnection;
using Strings = std::vector<std::string>;

class ConnectionTest : public ::testing::Test {
 protected:
  testing_support::ScopedStandIn stand_in_;

  void SetUp() override {
    for (const char* service : {TConnection::kDefaultServiceName, "reporting"}) {
      ocisim_define_database(service);
      ocisim_add_user(service, "scorer", "s3cret");
    }
  }

  static void ExpectNoHandles(const TConnection& connection) {
    EXPECT_EQ(connection.env, nullptr);
    EXPECT_EQ(connection.err, nullptr);
    EXPECT_EQ(connection.svc, nullptr);
    EXPECT_EQ(connection.session, nullptr);
    EXPECT_EQ(connection.server, nullptr);
    EXPECT_EQ(ocisim_live_handles(0), 0u);
  }
  // The types freed, in order.
  static std::vector<std::string> FreedTypes() {
    std::vector<std::string> types;
    for (const auto& call : ocisim::CallsTo("OCIHandleFree")) types.push_back(call.Arg("type"));
    return types;
  }
};

TEST_F(ConnectionTest, StartsDisconnectedWithNullHandlesAndEmptyLogin) {
  // Built over dirty memory, as a stack or heap object would be.
  alignas(TConnection) unsigned char storage[sizeof(TConnection)];
  std::memset(storage, 0x5A, sizeof storage);
  auto* connection = new (storage) TConnection();
  EXPECT_EQ(connection->state, TConnection::kStateDisconnected);
  EXPECT_EQ(TConnection::kStateDisconnected, -2);
  EXPECT_EQ(TConnection::kStateConnected, -1);
  ExpectNoHandles(*connection);
  EXPECT_STREQ(connection->user_name, "");
  EXPECT_STREQ(connection->password, "");
  EXPECT_STREQ(connection->service_name, "");
  connection->~TConnection();
}

TEST_F(ConnectionTest, SetLoginStoresTextsThatFitAndStopsAtTheFirstThatDoesNot) {
  const std::string u49(49, 'u'), u50(50, 'u'), p49(49, 'p'), p50(50, 'p'), s99(99, 's'),
      s100(100, 's');
  struct Case {
    std::string user, password, service;
    int32_t result;
    std::string stored_user, stored_password, stored_service;
  } cases[] = {
      {u49, p49, s99, 1, u49, p49, s99},
      {u50, "pw", "svc", 0, "old-user", "old-pw", "old-svc"},
      {"user", p50, "svc", 0, "user", "old-pw", "old-svc"},
      {"user", "pw", s100, 0, "user", "pw", "old-svc"},
      {"", "", "", 1, "", "", ""},
  };
  for (const Case& c : cases) {
    TConnection connection;
    ASSERT_EQ(connection.SetLogin("old-user", "old-pw", "old-svc"), 1);
    EXPECT_EQ(connection.SetLogin(c.user.c_str(), c.password.c_str(), c.service.c_str()), c.result)
        << c.user.size() << "/" << c.password.size() << "/" << c.service.size();
    EXPECT_EQ(connection.user_name, c.stored_user);
    EXPECT_EQ(connection.password, c.stored_password);
    EXPECT_EQ(connection.service_name, c.stored_service);
  }
  EXPECT_EQ(ocisim_call_count(), 0u);
}

TEST_F(ConnectionTest, ConnectsToTheDefaultServiceOrToTheThirdText) {
  for (const char* service : {"", "reporting"}) {
    stand_in_.StartLog();
    TConnection connection;
    connection.SetLogin("scorer", "s3cret", service);
    ASSERT_EQ(connection.Connect(), 0) << connection.login_error;
    EXPECT_EQ(connection.state, TConnection::kStateConnected);
    EXPECT_STREQ(connection.login_error, "");
    const std::string target = *service ? service : TConnection::kDefaultServiceName;
    auto attach = ocisim::CallsTo("OCIServerAttach");
    ASSERT_EQ(attach.size(), 1u);
    EXPECT_EQ(attach[0].Arg("dblink"), target);
    EXPECT_EQ(attach[0].Arg("dblink_len"), std::to_string(target.size()));
    EXPECT_EQ(attach[0].Arg("mode"), "0");
  }
}

TEST_F(ConnectionTest, ConnectMakesTheCallsOfTheLoginInOrder) {
  TConnection connection;
  connection.SetLogin("scorer", "s3cret", "");
  ASSERT_EQ(connection.Connect(), 0);
  EXPECT_EQ(ocisim::CallSequence(),
            (Strings{"OCIEnvCreate", "OCIHandleAlloc", "OCIHandleAlloc", "OCIServerAttach",
                     "OCIHandleAlloc", "OCIAttrSet", "OCIHandleAlloc", "OCIAttrSet", "OCIAttrSet",
                     "OCISessionBegin", "OCIAttrSet"}));
  auto calls = ocisim::CallLog();
  EXPECT_EQ(calls[0].Arg("mode"), std::to_string(OCI_DEFAULT)) << "not threaded";
  EXPECT_EQ(calls[1].Arg("type"), std::to_string(OCI_HTYPE_ERROR));
  EXPECT_EQ(calls[2].Arg("type"), std::to_string(OCI_HTYPE_SERVER));
  EXPECT_EQ(calls[4].Arg("type"), std::to_string(OCI_HTYPE_SVCCTX));
  EXPECT_EQ(calls[5].Arg("attrtype"), std::to_string(OCI_ATTR_SERVER));
  EXPECT_EQ(calls[5].Arg("size"), "0");
  EXPECT_EQ(calls[6].Arg("type"), std::to_string(OCI_HTYPE_SESSION));
  EXPECT_EQ(calls[7].Arg("attrtype"), std::to_string(OCI_ATTR_USERNAME));
  EXPECT_EQ(calls[7].Arg("attribute_text"), "scorer");
  EXPECT_EQ(calls[7].Arg("size"), "6");
  EXPECT_EQ(calls[8].Arg("attrtype"), std::to_string(OCI_ATTR_PASSWORD));
  EXPECT_EQ(calls[8].Arg("size"), "6");
  EXPECT_EQ(calls[9].Arg("credt"), std::to_string(OCI_CRED_RDBMS));
  EXPECT_EQ(calls[9].Arg("mode"), "0");
  EXPECT_EQ(calls[10].Arg("attrtype"), std::to_string(OCI_ATTR_SESSION));
  EXPECT_EQ(calls[10].Arg("attributep"), ocisim::LoggedPointer(connection.session));

  stand_in_.StartLog();
  EXPECT_EQ(connection.Connect(), -1) << "already connected";
  EXPECT_EQ(ocisim_call_count(), 0u);
  EXPECT_EQ(connection.state, TConnection::kStateConnected);
}

TEST_F(ConnectionTest, OnlyOciErrorFromTheSessionBeginFailsTheConnect) {
  struct Case {
    sword status;
    int32_t result;
    int32_t state;
  } cases[] = {
      {OCI_ERROR, 1, TConnection::kStateDisconnected},
      {OCI_SUCCESS, 0, TConnection::kStateConnected},
      {OCI_SUCCESS_WITH_INFO, 0, TConnection::kStateConnected},
      {OCI_INVALID_HANDLE, 0, TConnection::kStateConnected},
  };
  testing_support::AlertSpy spy;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    {
      TConnection connection;
      connection.SetLogin("scorer", "s3cret", "");
      ocisim_fail_call("OCISessionBegin", 1, c.status, "ORA-28000: the account is locked");
      EXPECT_EQ(connection.Connect(), c.result);
      EXPECT_EQ(connection.state, c.state);
      if (c.status == OCI_ERROR) {
        EXPECT_STREQ(connection.login_error, "ORA-28000: the account is locked");
        ExpectNoHandles(connection);
      }
    }
    EXPECT_EQ(ocisim_live_handles(0), 0u) << "nothing left once the object is gone";
  }
  EXPECT_TRUE(spy.alerts().empty()) << "the class shows nothing";
}

TEST_F(ConnectionTest, AFailedLoginReleasesEverythingAndExplainsItself) {
  TConnection connection;
  connection.SetLogin("scorer", "wrong", "");
  EXPECT_EQ(connection.Connect(), 1);
  EXPECT_STREQ(connection.login_error, "ORA-01017: invalid username/password; logon denied");
  ExpectNoHandles(connection);
  EXPECT_EQ(FreedTypes(), (Strings{"3", "9", "8", "2", "1"})) << "in the fixed order";

  connection.SetLogin("scorer", "s3cret", "nowhere");
  EXPECT_EQ(connection.Connect(), 1);
  EXPECT_STREQ(connection.login_error, "ORA-03114: not connected to ORACLE");
  ExpectNoHandles(connection);

  connection.SetLogin("scorer", "s3cret", "");
  EXPECT_EQ(connection.Connect(), 0);
  EXPECT_STREQ(connection.login_error, "");
}

TEST_F(ConnectionTest, AThousandFailedLoginsLeakNothing) {
  stand_in_.StopLogging();
  TConnection connection;
  connection.SetLogin("scorer", "wrong", "");
  for (int i = 0; i < 100; ++i) connection.Connect();
  size_t before = testing_support::ResidentBytes();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(connection.Connect(), 1);
  EXPECT_EQ(ocisim_live_handles(0), 0u);
  if (testing_support::kResidentMemoryIsMeaningful) {
    EXPECT_LT(testing_support::ResidentBytes(), before + (1u << 20));
  }
}

TEST_F(ConnectionTest, DisconnectReleasesInOrderOnlyAfterTheSessionEndSucceeds) {
  struct Case {
    sword status;
    int32_t result;
    bool released;
  } cases[] = {
      {OCI_SUCCESS, 0, true},
      {OCI_SUCCESS_WITH_INFO, 1, false},
      {OCI_INVALID_HANDLE, -2, false},
      {OCI_ERROR, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    {
      TConnection connection;
      connection.SetLogin("scorer", "s3cret", "");
      ASSERT_EQ(connection.Connect(), 0);
      stand_in_.StartLog();
      ocisim_fail_call("OCISessionEnd", 1, c.status, nullptr);
      EXPECT_EQ(connection.Disconnect(), c.result);
      if (c.released) {
        EXPECT_EQ(ocisim::CallSequence(),
                  (Strings{"OCISessionEnd", "OCIServerDetach", "OCIHandleFree", "OCIHandleFree",
                           "OCIHandleFree", "OCIHandleFree", "OCIHandleFree"}));
        EXPECT_EQ(FreedTypes(), (Strings{"3", "9", "8", "2", "1"}));
        EXPECT_EQ(connection.state, TConnection::kStateDisconnected);
        ExpectNoHandles(connection);
      } else {
        EXPECT_EQ(ocisim::CallSequence(), Strings{"OCISessionEnd"});
        EXPECT_EQ(connection.state, TConnection::kStateConnected);
        EXPECT_NE(connection.env, nullptr);
      }
      stand_in_.StartLog();
    }
    // The destructor of a still connected object tries again, and this time it succeeds.
    EXPECT_EQ(ocisim::CallSequence().size(), c.released ? 0u : 7u);
    EXPECT_EQ(ocisim_live_handles(0), 0u);
  }
}

TEST_F(ConnectionTest, DisconnectedObjectsCallNothing) {
  {
    TConnection connection;
    EXPECT_EQ(connection.Disconnect(), -2);
    connection.SetLogin("scorer", "s3cret", "");
    ASSERT_EQ(connection.Connect(), 0);
    ASSERT_EQ(connection.Disconnect(), 0);
    stand_in_.StartLog();
    EXPECT_EQ(connection.Disconnect(), -2);
  }
  EXPECT_EQ(ocisim_call_count(), 0u) << "neither a second Disconnect nor the destructor";
}

TEST_F(ConnectionTest, KeepsThePasswordAcrossDisconnectAndWipesItAtTheEnd) {
  alignas(TConnection) unsigned char storage[sizeof(TConnection)];
  auto* connection = new (storage) TConnection();
  connection->SetLogin("scorer", "a-much-longer-old-password", "");
  connection->SetLogin("scorer", "s3cret", "");
  const char* area = connection->password;
  for (size_t i = std::strlen("s3cret"); i < TConnection::kPasswordSize; ++i) {
    ASSERT_EQ(area[i], 0) << "byte " << i << " of the old password is still there";
  }
  ASSERT_EQ(connection->Connect(), 0);
  ASSERT_EQ(connection->Disconnect(), 0);
  ASSERT_EQ(connection->Connect(), 0) << "logs in again with the kept password";
  size_t offset =
      static_cast<size_t>(reinterpret_cast<unsigned char*>(connection->password) - storage);
  connection->~TConnection();
  EXPECT_EQ(ocisim_live_handles(0), 0u);
  for (size_t i = 0; i < TConnection::kPasswordSize; ++i) {
    ASSERT_EQ(storage[offset + i], 0) << "password byte " << i << " survives the object";
  }
}

TEST_F(ConnectionTest, ItsSessionRunsTheDatabaseRuleAsAHostsDoes) {
  ocisim_add_history(TConnection::kDefaultServiceName, "ACC-7", 100);
  testing_support::RuleLibrary library("txscreen");
  auto rule = library.Rule<TestConnFn>("TESTCONN");
  ASSERT_NE(rule, nullptr);
  testing_support::AlertSpy spy({library.native()});
  {
    TConnection connection;
    connection.SetLogin("scorer", "s3cret", "");
    ASSERT_EQ(connection.Connect(), 0);
    EXPECT_EQ(rule(connection.env, connection.err, connection.svc, 150, "ACC-7"), 1);
    EXPECT_EQ(rule(connection.env, connection.err, connection.svc, 50, "ACC-7"), 0);
  }
  EXPECT_TRUE(spy.alerts().empty());
  EXPECT_EQ(ocisim_live_handles(0), 0u);
}

}  // namespace
