// The argument-only rules, called through the addresses the loaded library exports.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "built_library.h"
#include "txscreen.h"

namespace {

using testing_support::RuleLibrary;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class ThresholdRulesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { library_ = new RuleLibrary("txscreen"); }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
  }
  template <class Function>
  static Function Rule(const char* name) {
    Function rule = library_->Rule<Function>(name);
    EXPECT_NE(rule, nullptr) << name;
    return rule;
  }
  static RuleLibrary* library_;
};

RuleLibrary* ThresholdRulesTest::library_ = nullptr;

TEST_F(ThresholdRulesTest, SharpIncrease) {
  struct Case {
    float a, b, c;
    RuleResult fires;
  } cases[] = {
      {100, 50, 50, 1},     // exactly at the threshold
      {100, 50, 50.5f, 0},  // just short of it
      {50, 100, -50, 1},    // a fall no larger than a negative threshold
      {50, 100, -49.5f, 0},
      // The difference is taken in double precision: in float, 1e8 - 1 rounds back to 1e8 and
      // 1 - 1e-8 back to 1, and both would fire.
      {1e8f, 1, 1e8f, 0},
      {1, 1e-8f, 1, 0},
      // 6.8e38 is beyond the float range but finite in double: below an infinite threshold.
      {3.4e38f, -3.4e38f, kInf, 0},
      {3.4e38f, -3.4e38f, 3.4e38f, 1},
      {kNaN, 0, 0, 0},
      {0, kNaN, 0, 0},
      {0, 0, kNaN, 0},
      {kInf, kInf, 0, 0},  // inf - inf is NaN
      {kInf, 0, 3.4e38f, 1},
      {-kInf, 0, -kInf, 1},
      {0, 0, -0.0f, 1},  // signed zeros compare equal
      {-0.0f, 0, 0, 1},
      {0, -0.0f, 0, 1},
  };
  auto rule = Rule<SharpIncreaseFn>("SHARPINCREASE");
  for (const Case& c : cases) {
    EXPECT_EQ(rule(c.a, c.b, c.c), c.fires) << c.a << " - " << c.b << " >= " << c.c;
  }
}

TEST_F(ThresholdRulesTest, OverCreditLimit) {
  struct Case {
    float a, b;
    RuleResult fires;
  } cases[] = {
      {500, 500, 0},   {500.01f, 500, 1},  {499.99f, 500, 0}, {kNaN, 500, 0}, {500, kNaN, 0},
      {kNaN, kNaN, 0}, {kInf, 3.4e38f, 1}, {kInf, kInf, 0},   {-0.0f, 0, 0},  {0, -0.0f, 0},
  };
  auto rule = Rule<OverCreditLimitFn>("OVERCREDITLIMIT");
  for (const Case& c : cases) EXPECT_EQ(rule(c.a, c.b), c.fires) << c.a << " > " << c.b;
}

TEST_F(ThresholdRulesTest, BadAccount) {
  struct Case {
    const char* a;
    const char* b;
    RuleResult fires;
  } cases[] = {
      {"", "", 1},
      {"ACC-1001", "ACC-1001", 1},
      {"ACC-1001", "acc-1001", 0},   // case matters
      {"ACC-1001", "ACC-1001 ", 0},  // nothing is trimmed
      {" ACC-1001", "ACC-1001", 0},
      {"ACC-1001", "ACC-1002", 0},
      {"\xc3\xa9", "\xc3\xa9", 1},  // bytes beyond ASCII compare as bytes
      {"\xc3\xa9", "e", 0},
      {nullptr, "ACC-1001", 0},  // null texts never match, not even each other
      {"ACC-1001", nullptr, 0},
      {nullptr, nullptr, 0},
  };
  auto rule = Rule<BadAccountFn>("BADACCOUNT");
  for (const Case& c : cases) {
    EXPECT_EQ(rule(c.a, c.b), c.fires) << (c.a ? c.a : "null") << " / " << (c.b ? c.b : "null");
  }
}

TEST_F(ThresholdRulesTest, SpecialUser) {
  struct Case {
    const char *a, *b, *c, *d;
    RuleResult fires;
  } cases[] = {
      {"alice", "bob", "alice", "carol", 1},  // c equals a, d differs from b
      {"alice", "bob", "alice", "bob", 0},    // both pairs equal
      {"alice", "bob", "mallory", "carol", 0},
      {"alice", "bob", "mallory", "bob", 0},
      {"alice", "bob", "Alice", "carol", 0},  // case matters in the first pair
      {"alice", "bob", "alice", "Bob", 1},    // and in the second
      {"", "", "", "", 0},
      {"", "", "", "x", 1},
      {nullptr, "bob", "alice", "carol", 0},
      {"alice", nullptr, "alice", "carol", 0},
      {"alice", "bob", nullptr, "carol", 0},
      {"alice", "bob", "alice", nullptr, 0},
  };
  auto rule = Rule<SpecialUserFn>("SPECIAL_USER");
  for (const Case& c : cases) {
    EXPECT_EQ(rule(c.a, c.b, c.c, c.d), c.fires)
        << (c.a ? c.a : "null") << ", " << (c.b ? c.b : "null") << ", " << (c.c ? c.c : "null")
        << ", " << (c.d ? c.d : "null");
  }
}

TEST_F(ThresholdRulesTest, SpecialUserReadsNeitherBNorDWhenCDiffersFromA) {
  // Reading either text would fault on these addresses.
  const char* unreadable = reinterpret_cast<const char*>(static_cast<uintptr_t>(16));
  EXPECT_EQ(Rule<SpecialUserFn>("SPECIAL_USER")("alice", unreadable, "mallory", unreadable), 0);
}

}  // namespace
