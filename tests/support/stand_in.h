// The stand-in client library as tests use it: a scope that starts and ends with a fresh
// stand-in, and a session opened with nothing but client-library calls.
#ifndef TXSCREEN_TESTS_SUPPORT_STAND_IN_H_
#define TXSCREEN_TESTS_SUPPORT_STAND_IN_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control.h"
#include "oci_api.h"
#include "ocisim.h"
#include "rule_types.h"

namespace testing_support {

// Resets the stand-in on entry and on exit, so that a test neither sees what an earlier one left
// nor leaves anything behind, and owns its call log. A reset also turns the call log on. Hold one
// as a fixture's first member: it then outlives every handle the fixture holds.
class ScopedStandIn {
 public:
  ScopedStandIn() { ocisim_reset(); }
  ~ScopedStandIn() { ocisim_reset(); }
  ScopedStandIn(const ScopedStandIn&) = delete;
  ScopedStandIn& operator=(const ScopedStandIn&) = delete;

  // Starts again from nothing within the scope.
  void Restart() { ocisim_reset(); }
  // The call log from here on: what a test counts or reads starts now.
  void StartLog() { ocisim_clear_log(); }
  // Calls go on being counted, but not logged one by one, for a test of many calls; the reset at
  // the scope's end turns the log back on.
  void StopLogging() { ocisim_set_call_log(0); }
  // Defines `service` with one user who may log in.
  static void DefineDatabase(const char* service, const char* user = "u",
                             const char* password = "p") {
    ocisim_define_database(service);
    ocisim_add_user(service, user, password);
  }
};

// Faults injected for a scope, as the storage engine's fault environment does it: when the scope
// ends the faults are cleared, and one that never fired fails the test, since the case then
// tested something else than it names.
class ScopedFaults {
 public:
  ScopedFaults() = default;
  ~ScopedFaults() {
    if (ocisim_pending_faults() != 0) {
      ADD_FAILURE() << ocisim_pending_faults() << " injected fault(s) never fired";
    }
    ocisim_clear_faults();
  }
  ScopedFaults(const ScopedFaults&) = delete;
  ScopedFaults& operator=(const ScopedFaults&) = delete;

  // The `nth` call of `function` from now on returns `status`, with `text` as its error.
  void Fail(const char* function, unsigned nth, sword status, const char* text) {
    ocisim_fail_call(function, nth, status, text);
  }
};

// The text of error record 1 of `err`, or "<no record>".
std::string ErrorText(OCIError* err);

// A session opened as any client opens one: environment, error handle, server, service context
// and session. The destructor ends and frees it all.
class StandInSession {
 public:
  static std::unique_ptr<StandInSession> Open(const char* service, const char* user,
                                              const char* password, std::string* error);
  ~StandInSession();

  OciHandles handles() const { return {env_, err_, svc_}; }

 private:
  StandInSession() = default;
  OCIEnv* env_ = nullptr;
  OCIError* err_ = nullptr;
  OCIServer* server_ = nullptr;
  OCISvcCtx* svc_ = nullptr;
  OCISession* session_ = nullptr;
  bool attached_ = false;
  bool begun_ = false;
};

// The fixture for tests of the stand-in's own calls: an environment and an error handle.
class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OCIEnvCreate(&env_, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
              OCI_SUCCESS);
    ASSERT_EQ(OCIHandleAlloc(env_, reinterpret_cast<void**>(&err_), OCI_HTYPE_ERROR, 0, nullptr),
              OCI_SUCCESS);
  }

  ScopedStandIn stand_in_;
  OCIEnv* env_ = nullptr;
  OCIError* err_ = nullptr;
};

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_STAND_IN_H_
