// The stand-in's handles, error records, fault injection and call log, which every other suite
// relies on to see what the rules do.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stand_in.h"

namespace {

class StandInHandlesTest : public testing_support::StandInTest {
 protected:
  void* Alloc(ub4 type) {
    void* handle = nullptr;
    EXPECT_EQ(OCIHandleAlloc(env_, &handle, type, 0, nullptr), OCI_SUCCESS);
    return handle;
  }
};

TEST_F(StandInHandlesTest, CountsLiveHandlesByTypeAndFreesChildrenWithTheirEnvironment) {
  OCIEnv* threaded = nullptr;
  ASSERT_EQ(OCIEnvCreate(&threaded, OCI_THREADED, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
            OCI_SUCCESS);
  for (ub4 type :
       {OCI_HTYPE_ERROR, OCI_HTYPE_SVCCTX, OCI_HTYPE_STMT, OCI_HTYPE_SERVER, OCI_HTYPE_SESSION}) {
    void* child = nullptr;
    ASSERT_EQ(OCIHandleAlloc(threaded, &child, type, 0, nullptr), OCI_SUCCESS) << type;
    EXPECT_NE(child, nullptr);
#if defined(_WIN64)
    // Where a 64-bit client's handles may be, so that one kept in 32 bits breaks the suites: the
    // stand-in puts them there itself, since Wine's heap would not (an ELF heap usually lies
    // above 4 GiB, but not under valgrind, so nothing is promised there).
    EXPECT_GT(reinterpret_cast<uintptr_t>(child), uintptr_t{0xffffffff}) << type;
#endif
  }
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_ENV), 2u);
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_ERROR), 2u);
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_STMT), 1u);
  EXPECT_EQ(ocisim_live_handles(0), 8u);

  EXPECT_EQ(OCIHandleFree(threaded, OCI_HTYPE_ENV), OCI_SUCCESS);
  EXPECT_EQ(ocisim_live_handles(0), 2u);
  EXPECT_TRUE(ocisim::Violations().empty());
}

TEST_F(StandInHandlesTest, GivesUserMemoryOfTheRequestedSize) {
  void* handle = nullptr;
  void* memory = nullptr;
  ASSERT_EQ(OCIHandleAlloc(env_, &handle, OCI_HTYPE_STMT, 64, &memory), OCI_SUCCESS);
  ASSERT_NE(memory, nullptr);
  std::memset(memory, 0xAB, 64);  // must be writable in full
  EXPECT_EQ(OCIHandleFree(handle, OCI_HTYPE_STMT), OCI_SUCCESS);
}

TEST_F(StandInHandlesTest, RefusesAndRecordsMisusedHandles) {
  void* stmt = Alloc(OCI_HTYPE_STMT);
  ASSERT_EQ(OCIHandleFree(stmt, OCI_HTYPE_STMT), OCI_SUCCESS);
  void* child = reinterpret_cast<void*>(0x1234);
  struct Case {
    const char* what;
    sword status;
    const char* violation;
  } cases[] = {
      {"free twice", OCIHandleFree(stmt, OCI_HTYPE_STMT), "hndlp is a freed handle"},
      {"free as another type", OCIHandleFree(err_, OCI_HTYPE_STMT),
       "hndlp is a handle of another type"},
      {"null parent", OCIHandleAlloc(nullptr, &child, OCI_HTYPE_STMT, 0, nullptr),
       "parenth is a null handle"},
      {"non-environment parent", OCIHandleAlloc(err_, &child, OCI_HTYPE_STMT, 0, nullptr),
       "parenth is a handle of another type"},
      {"bind handle", OCIHandleAlloc(env_, &child, OCI_HTYPE_BIND, 0, nullptr),
       "type 5 cannot be allocated here"},
  };
  std::vector<std::string> violations = ocisim::Violations();
  ASSERT_EQ(violations.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].status, OCI_INVALID_HANDLE) << cases[i].what;
    EXPECT_NE(violations[i].find(cases[i].violation), std::string::npos)
        << cases[i].what << ": " << violations[i];
  }
  EXPECT_EQ(child, reinterpret_cast<void*>(0x1234)) << "a refused allocation writes no handle";
}

TEST_F(StandInHandlesTest, ErrorGetWithoutARecordGivesNoDataAndWritesNothing) {
  sb4 code = 77;
  OraText text[16];
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(OCIErrorGet(err_, 1, nullptr, &code, text, sizeof text, OCI_HTYPE_ERROR), OCI_NO_DATA);
  EXPECT_EQ(code, 77);
  EXPECT_EQ(text[0], '#');
  EXPECT_EQ(OCIErrorGet(nullptr, 1, nullptr, &code, text, sizeof text, OCI_HTYPE_ERROR),
            OCI_INVALID_HANDLE);
}

TEST_F(StandInHandlesTest, InjectedFaultsHitTheNthCallAndFillTheErrorRecord) {
  OCIServer* server = nullptr;
  ASSERT_EQ(OCIHandleAlloc(env_, reinterpret_cast<void**>(&server), OCI_HTYPE_SERVER, 0, nullptr),
            OCI_SUCCESS);
  ocisim_define_database("db");
  const auto* name = reinterpret_cast<const OraText*>("db");
  ocisim_fail_call("OCIServerAttach", 2, OCI_ERROR, "ORA-12541: TNS:no listener");
  EXPECT_EQ(OCIServerAttach(server, err_, name, 2, OCI_DEFAULT), OCI_SUCCESS);
  EXPECT_EQ(OCIServerDetach(server, err_, OCI_DEFAULT), OCI_SUCCESS);
  EXPECT_EQ(OCIServerAttach(server, err_, name, 2, OCI_DEFAULT), OCI_ERROR);
  sb4 code = 0;
  OraText text[64] = {};
  ASSERT_EQ(OCIErrorGet(err_, 1, nullptr, &code, text, sizeof text, OCI_HTYPE_ERROR), OCI_SUCCESS);
  EXPECT_EQ(code, 12541);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "ORA-12541: TNS:no listener");
  // The failed attach did nothing, so the server is still detached and attaches now.
  EXPECT_EQ(OCIServerAttach(server, err_, name, 2, OCI_DEFAULT), OCI_SUCCESS);
}

TEST_F(StandInHandlesTest, InjectedSuccessStatusesStillDoTheWorkOthersSkipIt) {
  struct Case {
    sword status;
    bool allocates;
  } cases[] = {{OCI_SUCCESS_WITH_INFO, true},
               {OCI_SUCCESS, true},
               {OCI_ERROR, false},
               {OCI_INVALID_HANDLE, false},
               {OCI_NO_DATA, false}};
  for (const Case& c : cases) {
    ocisim_fail_call("OCIHandleAlloc", 1, c.status, nullptr);
    void* stmt = nullptr;
    EXPECT_EQ(OCIHandleAlloc(env_, &stmt, OCI_HTYPE_STMT, 0, nullptr), c.status);
    EXPECT_EQ(stmt != nullptr, c.allocates) << c.status;
    if (stmt != nullptr) OCIHandleFree(stmt, OCI_HTYPE_STMT);
  }
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_STMT), 0u);
}

TEST_F(StandInHandlesTest, FaultForEveryCallStaysUntilReset) {
  ocisim_fail_call("OCIHandleAlloc", 0, OCI_ERROR, nullptr);
  void* stmt = nullptr;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(OCIHandleAlloc(env_, &stmt, OCI_HTYPE_STMT, 0, nullptr), OCI_ERROR);
  }
  stand_in_.Restart();
  OCIEnv* env = nullptr;
  ASSERT_EQ(OCIEnvCreate(&env, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
            OCI_SUCCESS);
  EXPECT_EQ(OCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, nullptr), OCI_SUCCESS);
}

TEST_F(StandInHandlesTest, LogsEveryCallWithItsArgumentsAndStatus) {
  stand_in_.Restart();
  OCIEnv* env = nullptr;
  ASSERT_EQ(OCIEnvCreate(&env, OCI_THREADED, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
            OCI_SUCCESS);
  void* stmt = nullptr;
  OCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, nullptr);
  OCIHandleFree(stmt, OCI_HTYPE_STMT);
  OCIHandleFree(stmt, OCI_HTYPE_STMT);
  auto log = ocisim::CallLog();
  ASSERT_EQ(ocisim::CallSequence(), (std::vector<std::string>{"OCIEnvCreate", "OCIHandleAlloc",
                                                              "OCIHandleFree", "OCIHandleFree"}));
  EXPECT_EQ(log[0].Arg("mode"), "1");
  EXPECT_EQ(log[1].Arg("parenth"), ocisim::LoggedPointer(env));
  EXPECT_EQ(log[1].Arg("type"), "4");
  EXPECT_EQ(log[2].Arg("hndlp"), ocisim::LoggedPointer(stmt));
  EXPECT_EQ(log[2].status, OCI_SUCCESS);
  EXPECT_EQ(log[3].status, OCI_INVALID_HANDLE);

  // With its details off, the log still counts every call.
  stand_in_.StopLogging();
  OCIHandleAlloc(env, &stmt, OCI_HTYPE_STMT, 0, nullptr);
  EXPECT_EQ(ocisim_logged_call_count(), 4u);
  EXPECT_EQ(ocisim_call_count(), 5u);
  stand_in_.StartLog();
  EXPECT_EQ(ocisim_call_count(), 0u);
}

}  // namespace
