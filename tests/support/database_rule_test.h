// A fixture for the database rules: a stand-in database, a host session on it opened the way the
// reference host opens one, the loaded rule libraries and an alert spy on them.
#ifndef TXSCREEN_TESTS_SUPPORT_DATABASE_RULE_TEST_H_
#define TXSCREEN_TESTS_SUPPORT_DATABASE_RULE_TEST_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "alert_spy.h"
#include "built_library.h"
#include "control.h"
#include "ocisim.h"
#include "session.h"
#include "stand_in.h"

namespace testing_support {

class DatabaseRuleTest : public ::testing::Test {
 protected:
  static constexpr const char* kService = "scoringdb";

  // The library the suite's rules come from.
  virtual const char* library_name() const { return "txscreen"; }

  void SetUp() override {
    library_ = &LoadedLibrary(library_name());
    ocisim_define_database(kService);
    ocisim_add_user(kService, "screener", "secret");
    std::string error;
    session_ = txhost::HostSession::Open({"screener", "secret", kService}, false, &error);
    ASSERT_TRUE(session_) << error;
    handles_ = session_->handles();
    session_handles_ = ocisim_live_handles(0);
    stand_in_.StartLog();
    spy_ = std::make_unique<AlertSpy>(std::initializer_list<void*>{library_->native()});
  }
  void TearDown() override {
    spy_.reset();
    session_.reset();
  }

  template <class Function>
  Function Rule(const char* name) const {
    auto rule = library_->Rule<Function>(name);
    EXPECT_NE(rule, nullptr) << name;
    return rule;
  }
  std::vector<std::string> Alerts() const { return spy_->texts(); }
  // Handles beyond those of the host's session: what a rule left behind.
  size_t HandlesLeftBehind() const { return ocisim_live_handles(0) - session_handles_; }

  // Loaded once per program and kept, as a host keeps its libraries.
  static RuleLibrary& LoadedLibrary(const std::string& name);

  ScopedStandIn stand_in_;
  RuleLibrary* library_ = nullptr;
  std::unique_ptr<txhost::HostSession> session_;
  OciHandles handles_{};
  size_t session_handles_ = 0;
  std::unique_ptr<AlertSpy> spy_;
};

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_DATABASE_RULE_TEST_H_
