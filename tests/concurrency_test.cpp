// Many threads calling every rule at once, the database rules each on its own error handle
// under one threaded environment, as a host screening on several threads does.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "alert_spy.h"
#include "built_library.h"
#include "ocisim.h"
#include "session.h"
#include "stand_in.h"
#include "txscreen.h"
#include "txscreen2.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 2000;

TEST(ConcurrencyTest, EightThreadsGetTheAnswersOfASingleThread) {
  testing_support::ScopedStandIn stand_in;
  stand_in.StopLogging();
  ocisim_define_database("db");
  ocisim_add_user("db", "u", "p");
  for (double amount : {100.0, 300.0}) ocisim_add_history("db", "ACC-1", amount);
  std::string error;
  auto session = txhost::HostSession::Open({"u", "p", "db"}, true, &error);
  ASSERT_TRUE(session) << error;
  std::vector<OciHandles> handles(kThreads);
  for (OciHandles& h : handles) ASSERT_TRUE(session->HandlesForThread(&h));

  testing_support::RuleLibrary first("txscreen"), second("txscreen2");
  testing_support::AlertSpy spy({first.native(), second.native()});
  auto sharp = first.Rule<SharpIncreaseFn>("SHARPINCREASE");
  auto limit = first.Rule<OverCreditLimitFn>("OVERCREDITLIMIT");
  auto bad = first.Rule<BadAccountFn>("BADACCOUNT");
  auto special = first.Rule<SpecialUserFn>("SPECIAL_USER");
  auto date = first.Rule<TestDateFn>("TESTDATE");
  auto average = first.Rule<TestConnFn>("TESTCONN");
  auto merchant = second.Rule<TestMerchantFn>("TESTMERCHANT");
  auto zip = second.Rule<SameZipCodeFn>("SAMEZIPCODE");

  // Each case calls one rule on the handles it is given; some fire, some do not, one fails.
  const OCIDate monday{2026, 12, 7, {0, 0, 0}}, invalid{2026, 2, 30, {0, 0, 0}};
  std::vector<std::function<RuleResult(const OciHandles&)>> cases = {
      [&](const OciHandles&) { return sharp(900, 500, 400); },
      [&](const OciHandles&) { return sharp(899, 500, 400); },
      [&](const OciHandles&) { return limit(501, 500); },
      [&](const OciHandles&) { return limit(500, 500); },
      [&](const OciHandles&) { return bad("ACC-6661", "ACC-6661"); },
      [&](const OciHandles&) { return bad("ACC-6661", "acc-6661"); },
      [&](const OciHandles&) { return special("a", "b", "a", "c"); },
      [&](const OciHandles&) { return special("a", "b", "a", "b"); },
      [&](const OciHandles& h) { return date(h.env, h.err, h.svc, "MON", monday); },
      [&](const OciHandles& h) { return date(h.env, h.err, h.svc, "TUE", monday); },
      [&](const OciHandles& h) { return date(h.env, h.err, h.svc, "MON", invalid); },
      [&](const OciHandles& h) { return average(h.env, h.err, h.svc, 250, "ACC-1"); },
      [&](const OciHandles& h) { return average(h.env, h.err, h.svc, 150, "ACC-1"); },
      [&](const OciHandles& h) { return merchant(h.env, h.err, h.svc, "M", "M", "MON", monday); },
      [&](const OciHandles& h) { return merchant(h.env, h.err, h.svc, "M", "N", "MON", monday); },
      [&](const OciHandles&) { return zip("10115", "10115", "Store"); },
      [&](const OciHandles&) { return zip("10115", "10115", "Internet"); },
  };
  std::vector<RuleResult> expected;
  for (auto& call : cases) expected.push_back(call(handles[0]));
  EXPECT_EQ(expected, (std::vector<RuleResult>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0}));
  spy.Clear();

  std::atomic<int> mismatches{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
          // Each thread walks the cases from a different start, so different rules overlap.
          size_t c = (i + t) % cases.size();
          if (cases[c](handles[t]) != expected[c]) ++mismatches;
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(spy.alerts().size(), static_cast<size_t>(kThreads * kRounds))
      << "one alert for each failed conversion, none lost";
  for (const auto& alert : spy.alerts()) {
    ASSERT_EQ(alert.text, "ORA-01847: day of month must be between 1 and last day of month");
  }
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_STMT), 0u);
  std::printf("concurrency: %d threads x %zu calls\n", kThreads, kRounds * cases.size());
}

}  // namespace
