// A draft rule set beside the live one: one run gives what two separate runs, compared, give;
// a check both sets have is called once; the checks are matched by label.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "comparison.h"
#include "csv.h"
#include "dynamic_library.h"
#include "exit_status.h"
#include "ocisim.h"
#include "screen_command.h"
#include "screen_summary.h"
#include "stand_in.h"
#include "temp_files.h"

namespace {

using testing_support::ReadFile;
using Rows = std::vector<std::vector<std::string>>;

const std::string kSource = TXSCREEN_SOURCE_DIR;

// The sample rule set with one threshold raised, one check dropped and one added; its database
// checks are all the live set's too.
constexpr char kDraft[] =
    "sharp_increase    txscreen   SHARPINCREASE    amount previous_amount 500\n"
    "over_limit        txscreen   OVERCREDITLIMIT  amount credit_limit\n"
    "batch_user_moved  txscreen   SPECIAL_USER     \"svc-batch\" registered_terminal user "
    "terminal\n"
    "sunday            txscreen   TESTDATE         \"SUN\" date\n"
    "sunday_lower_case txscreen   TESTDATE         \"sun\" date\n"
    "over_average      txscreen   TESTCONN         amount account\n"
    "merchant_saturday txscreen2  TESTMERCHANT     merchant \"M-0666\" \"SAT\" date\n"
    "same_zip_offline  txscreen2  SAMEZIPCODE      billing_zip shipping_zip channel\n"
    "saturday          txscreen   TESTDATE         \"SAT\" date\n";

// The sample's live set with scores and outcomes, for comparisons that decide by outcome.
constexpr char kScoredLive[] =
    "sharp_increase  txscreen  SHARPINCREASE    amount previous_amount 400  score 30\n"
    "over_limit      txscreen  OVERCREDITLIMIT  amount credit_limit  score 45.5\n"
    "sunday          txscreen  TESTDATE         \"SUN\" date  score 10\n"
    "over_average    txscreen  TESTCONN         amount account  score 20\n"
    "outcome approve\n"
    "outcome review  from 40\n"
    "outcome decline from 75\n";
// The draft: one score raised, a check for a sign of low risk, one threshold lowered, and
// outcomes named as the live set's but one.
constexpr char kScoredDraft[] =
    "sharp_increase  txscreen  SHARPINCREASE    amount previous_amount 400  score 45\n"
    "over_limit      txscreen  OVERCREDITLIMIT  amount credit_limit  score 45.5\n"
    "trusted_user    txscreen  SPECIAL_USER     \"svc-batch\" registered_terminal user terminal"
    "  score -20\n"
    "sunday          txscreen  TESTDATE         \"SUN\" date  score 10\n"
    "over_average    txscreen  TESTCONN         amount account  score 20\n"
    "outcome allow\n"
    "outcome review  from 30\n"
    "outcome decline from 75\n";

Rows ReadCsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  txhost::CsvReader reader(in);
  Rows rows;
  txhost::CsvRecord record;
  while (reader.Next(&record)) rows.emplace_back(record.fields.begin(), record.fields.end());
  return rows;
}

// How one run's results decided a row: its outcome column's name when the set has outcomes,
// else "flagged" when any check fired and "clear" when none did.
struct SideDecision {
  std::string outcome;
  bool stopped = false;
  std::string fired;  // the labels that fired, separated by ';'
};

SideDecision DecisionOf(const Rows& results, size_t r, const std::string& first_outcome) {
  const std::vector<std::string>& header = results[0];
  SideDecision side;
  bool any = false;
  for (size_t col = 1; col < header.size(); ++col) {
    if (header[col] == "_outcome") {
      side.outcome = results[r][col];
    } else if (header[col] != "_score" && results[r][col] == "1") {
      any = true;
      side.fired += (side.fired.empty() ? "" : ";") + header[col];
    }
  }
  if (side.outcome.empty()) {
    side.outcome = any ? "flagged" : "clear";
    side.stopped = any;
  } else {
    side.stopped = side.outcome != first_outcome;
  }
  return side;
}

class CompareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::FreshDirectory("compare_test");
    char error[256] = "";
    ASSERT_EQ(ocisim_load_database("sample", (kSource + "/examples/databases/sample").c_str(),
                                   error, sizeof error),
              0)
        << error;
    std::ofstream(dir_ + "/draft.conf") << kDraft;
  }

  // Screens the sample; gives the status, with the stand-in's client calls in `calls`.
  int Screen(const std::string& rules, const std::string& out, const std::string& baseline,
             txhost::ScreenSummary* summary, size_t* calls) {
    txhost::ScreenOptions options;
    options.library_directory = txhost::DynamicLibrary::ProgramDirectory();
    options.transactions = kSource + "/examples/transactions.csv";
    options.rules = rules;
    options.baseline = baseline;
    options.connect = "screener/screener@sample";
    options.label_column = "is_fraud";
    options.out = dir_ + "/" + out;
    if (!baseline.empty()) options.changes = dir_ + "/changes.csv";
    size_t before = ocisim_call_count();
    testing_support::CapturedMessages messages;
    options.messages = messages.file();
    int status = txhost::RunScreen(options, summary);
    std::string err = messages.Text();
    *calls = ocisim_call_count() - before;
    EXPECT_EQ(status, txhost::kExitOk) << err;
    return status;
  }

  void CompareOnce(const struct ComparedSets& sets);

  testing_support::ScopedStandIn stand_in_;
  std::string dir_;
};

// Each case: a draft and a live set (a path under the test's directory, or the sample's), and
// each set's first outcome when it has outcomes.
struct ComparedSets {
  const char* name;
  std::string draft, live;
  std::string draft_first, live_first;  // empty: the set has no outcomes
  bool draft_has_the_live_database_checks;
};

TEST_F(CompareTest, OneRunGivesWhatTwoRunsComparedGive) {
  std::ofstream(dir_ + "/scored_draft.conf") << kScoredDraft;
  std::ofstream(dir_ + "/scored_live.conf") << kScoredLive;
  const std::string sample = kSource + "/examples/rules.conf";
  const ComparedSets cases[] = {
      {"no outcomes", dir_ + "/draft.conf", sample, "", "", true},
      {"outcomes on both sides", dir_ + "/scored_draft.conf", dir_ + "/scored_live.conf", "allow",
       "approve", true},
      {"outcomes in the draft only", dir_ + "/scored_draft.conf", sample, "allow", "", false},
  };
  for (const ComparedSets& sets : cases) {
    SCOPED_TRACE(sets.name);
    CompareOnce(sets);
  }
}

void CompareTest::CompareOnce(const ComparedSets& sets) {
  txhost::ScreenSummary ignored("", "", {}, false, false), summary("", "", {}, false, false);
  size_t draft_calls = 0, live_calls = 0, both_calls = 0;
  Screen(sets.draft, "draft.csv", "", &ignored, &draft_calls);
  Screen(sets.live, "live.csv", "", &ignored, &live_calls);
  Screen(sets.draft, "both.csv", sets.live, &summary, &both_calls);
  ASSERT_TRUE(summary.comparison.has_value());
  const txhost::Comparison& c = *summary.comparison;

  // What comparing the two runs' outputs by hand gives.
  const Rows draft = ReadCsv(dir_ + "/draft.csv"), live_rows = ReadCsv(dir_ + "/live.csv");
  const Rows input = ReadCsv(kSource + "/examples/transactions.csv");
  ASSERT_EQ(draft.size(), live_rows.size());
  const bool by_name = !sets.draft_first.empty() && !sets.live_first.empty();
  size_t counts[2][2] = {};  // [draft stops][live stops]
  std::map<std::string, size_t> outcomes, pairs;
  std::string changes =
      "id,_line,flagged_by,draft_checks,live_checks,live_outcome,draft_outcome\n";
  for (size_t r = 1; r < draft.size(); ++r) {
    const SideDecision d = DecisionOf(draft, r, sets.draft_first);
    const SideDecision l = DecisionOf(live_rows, r, sets.live_first);
    ++counts[d.stopped][l.stopped];
    ++pairs[l.outcome + "->" + d.outcome];
    const std::string& label = input[r].back();
    if (d.stopped != l.stopped) {
      ++outcomes[(label == "1" ? "fraud " : "genuine ") + std::string(d.stopped ? "draft" : "live")];
    }
    if (by_name ? d.outcome != l.outcome : d.stopped != l.stopped) {
      const char* flagged_by = d.stopped ? (l.stopped ? "both" : "draft")
                               : l.stopped ? "live" : "neither";
      changes += draft[r][0] + "," + std::to_string(r + 1) + "," + flagged_by + "," + d.fired +
                 "," + l.fired + "," + l.outcome + "," + d.outcome + "\n";
    }
  }
  EXPECT_EQ(c.both, counts[1][1]);
  EXPECT_EQ(c.draft_only, counts[1][0]);
  EXPECT_EQ(c.live_only, counts[0][1]);
  EXPECT_EQ(c.neither, counts[0][0]);
  EXPECT_GT(c.draft_only + c.live_only, 0u) << "the draft changes some decisions";
  EXPECT_EQ(ReadFile(dir_ + "/changes.csv"), changes);
  std::map<std::string, size_t> summary_pairs;
  const std::vector<std::string> live_names = c.pair.OutcomeNames(false);
  const std::vector<std::string> draft_names = c.pair.OutcomeNames(true);
  for (const auto& [outcome, rows] : c.outcome_pairs) {
    summary_pairs[live_names[outcome.first] + "->" + draft_names[outcome.second]] = rows;
  }
  EXPECT_EQ(summary_pairs, pairs);
  EXPECT_EQ(c.fraud_newly_caught, outcomes["fraud draft"]);
  EXPECT_EQ(c.fraud_newly_missed, outcomes["fraud live"]);
  EXPECT_EQ(c.false_alarms_added, outcomes["genuine draft"]);
  EXPECT_EQ(c.false_alarms_removed, outcomes["genuine live"]);
  // Every labelled fraud is caught by both, newly caught, newly missed, or missed by both.
  const txhost::FiringCounts& d = c.draft_flags;
  const txhost::FiringCounts& l = c.live_flags;
  EXPECT_EQ(d.true_positives + d.false_negatives, l.true_positives + l.false_negatives);
  EXPECT_EQ(d.true_positives, l.true_positives + c.fraud_newly_caught - c.fraud_newly_missed);
  EXPECT_EQ(d.false_positives, l.false_positives + c.false_alarms_added - c.false_alarms_removed);

  EXPECT_EQ(ReadFile(dir_ + "/both.csv"), ReadFile(dir_ + "/draft.csv")) << "--out is the draft's";
  // A database check both sets have is called once: the server sees the draft's calls only.
  if (sets.draft_has_the_live_database_checks) {
    EXPECT_EQ(both_calls, draft_calls);
  }
  EXPECT_GT(live_calls, 0u);
}

TEST_F(CompareTest, ChecksAreMatchedByLabel) {
  txhost::ScreenSummary summary("", "", {}, false, false);
  size_t calls = 0;
  Screen(dir_ + "/draft.conf", "both.csv", kSource + "/examples/rules.conf", &summary, &calls);
  ASSERT_TRUE(summary.comparison.has_value());
  const txhost::RuleSetPair& pair = summary.comparison->pair;
  EXPECT_EQ(pair.added, std::vector<std::string>{"saturday"});
  EXPECT_EQ(pair.removed, std::vector<std::string>{"bad_account"});
  EXPECT_EQ(pair.changed, std::vector<std::string>{"sharp_increase"});
}

TEST(RuleSetPairTest, ACheckBothSetsHaveIsOneCheckWhateverItsLabel) {
  txhost::LibrarySet libraries(txhost::DynamicLibrary::ProgramDirectory());
  const std::vector<std::string> header = {"id", "amount", "limit", "account"};
  std::vector<std::string> problems;
  auto read = [&](const char* text) {
    std::istringstream in(text);
    return txhost::ReadRuleSet(in, "set", header, libraries, &problems);
  };
  auto draft = read(
      "over txscreen OVERCREDITLIMIT amount limit\n"
      "bad txscreen BADACCOUNT account \"X\"\n");
  auto live = read(
      "limit_check txscreen OVERCREDITLIMIT amount limit\n"  // the same check, another label
      "bad txscreen BADACCOUNT account \"Y\"\n"              // the same label, another argument
      "old txscreen OVERCREDITLIMIT amount 100\n");
  ASSERT_EQ(problems, std::vector<std::string>{});
  txhost::RuleSetPair pair = txhost::PairRuleSets(draft, live);
  EXPECT_EQ(pair.checks.size(), 4u) << "the shared check is called once";
  EXPECT_EQ(pair.live, (std::vector<size_t>{0, 2, 3}));
  EXPECT_EQ(pair.added, std::vector<std::string>{"over"});
  EXPECT_EQ(pair.removed, (std::vector<std::string>{"limit_check", "old"}));
  EXPECT_EQ(pair.changed, std::vector<std::string>{"bad"});
  // A set without outcomes flags a row when any of its checks fires.
  auto row = [](std::vector<char> fired) {
    txhost::RowResult result;
    result.fired = std::move(fired);
    return result;
  };
  EXPECT_EQ(txhost::SideOutcome(pair, row({0, 1, 0, 0}), true), 1);
  EXPECT_EQ(txhost::SideOutcome(pair, row({0, 1, 0, 0}), false), 0);
  EXPECT_EQ(txhost::SideOutcome(pair, row({0, 0, 0, 1}), false), 1);
}

// A draft that differs from the live set in one part of a check or of its outcome lines says so,
// whichever part it is; the same part written otherwise ("40" and "40.0") is no change.
TEST(RuleSetPairTest, EveryPartOfACheckAndTheOutcomeLinesIsCompared) {
  txhost::LibrarySet libraries(txhost::DynamicLibrary::ProgramDirectory());
  const std::vector<std::string> header = {"id", "amount", "limit", "account"};
  const std::string live =
      "over txscreen OVERCREDITLIMIT amount limit score 40\n"
      "sharp txscreen SHARPINCREASE amount limit 400 in [100, 400] score 10\n"
      "outcome approve\noutcome review from 40 in [30, 40]\noutcome decline from 75\n";
  const struct {
    const char* what;
    std::string from, to;
    bool check_changed, outcomes_changed;
  } cases[] = {
      {"nothing", "", "", false, false},
      {"a score", "limit score 40", "limit score 45", true, false},
      {"a score written otherwise", "limit score 40", "limit score 40.00", false, false},
      {"a sweep's values", "in [100, 400]", "in [100, 400, 500]", true, false},
      {"a threshold", "from 75", "from 80", false, true},
      {"a threshold written otherwise", "from 75", "from 75.0", false, false},
      {"a threshold's sweep", "in [30, 40]", "in [30, 40, 50]", false, true},
      {"an outcome's name", "outcome decline", "outcome block", false, true},
  };
  for (const auto& c : cases) {
    std::string draft = live;
    if (!c.from.empty()) draft.replace(draft.find(c.from), c.from.size(), c.to);
    std::vector<std::string> problems;
    txhost::Decisions draft_decisions, live_decisions;
    std::istringstream draft_in(draft), live_in(live);
    auto draft_checks =
        txhost::ReadRuleSet(draft_in, "draft", header, libraries, &problems, &draft_decisions);
    auto live_checks =
        txhost::ReadRuleSet(live_in, "live", header, libraries, &problems, &live_decisions);
    ASSERT_EQ(problems, std::vector<std::string>{}) << c.what;
    txhost::RuleSetPair pair =
        txhost::PairRuleSets(draft_checks, live_checks, draft_decisions, live_decisions);
    EXPECT_EQ(!pair.changed.empty(), c.check_changed) << c.what;
    EXPECT_EQ(pair.outcomes_changed, c.outcomes_changed) << c.what;
    EXPECT_EQ(pair.checks.size(), 2u) << c.what << ": a check that calls the same is called once";
  }
}

// Which checks fire together is counted from what fired on each row, never over every pair of
// checks: thousands of checks cost what fires, the summary lists only pairs that fired together,
// and the count stays bounded, saying so when a row or the number of pairs passes its bound.
TEST(ScreenSummaryTest, CountsOnlyThePairsThatFireTogetherWithinABound) {
  std::vector<txhost::Check> checks(3000);
  for (size_t c = 0; c < checks.size(); ++c) {
    checks[c].label = "c" + std::to_string(c);
    checks[c].rule = txhost::FindRule("txscreen", "BADACCOUNT");
  }
  txhost::ScreenSummary summary("t.csv", "r.conf", checks, false, false);
  auto tally = [&](std::vector<size_t> fired) {
    txhost::RowResult row;
    row.fired.assign(checks.size(), 0);
    row.swept.resize(checks.size());
    row.matched.assign(checks.size(), -1);
    for (size_t c : fired) row.fired[c] = 1;
    summary.Tally("id", 2, row);
  };
  tally({0, 2999});
  tally({0, 5, 2999});
  tally({7});
  EXPECT_EQ(summary.FiredTogether(0, 2999), 2u);
  EXPECT_EQ(summary.FiredTogether(2999, 5), 1u);
  EXPECT_EQ(summary.FiredTogether(0, 7), 0u);
  auto json = nlohmann::json::parse(txhost::SummaryJson(summary));
  EXPECT_EQ(json["fired_together"], nlohmann::json::parse(R"([{"checks": ["c0", "c5"], "rows": 1},
                                      {"checks": ["c0", "c2999"], "rows": 2},
                                      {"checks": ["c5", "c2999"], "rows": 1}])"));
  EXPECT_TRUE(json["fired_together_complete"]);
  // A row on which more checks fire than the bound adds to no pair.
  std::vector<size_t> many(txhost::ScreenSummary::kMostFiredForPairs + 1);
  for (size_t c = 0; c < many.size(); ++c) many[c] = 100 + c;
  tally(many);
  EXPECT_EQ(summary.FiredTogether(100, 101), 0u);
  EXPECT_FALSE(summary.fired_together_complete);
  // Rows that each fire a different set of checks reach the bound on pairs, and stop there.
  for (size_t r = 0; summary.fired_together.size() < txhost::ScreenSummary::kMostPairs; ++r) {
    std::vector<size_t> fired;
    for (size_t c = 0; c < txhost::ScreenSummary::kMostFiredForPairs; ++c) {
      fired.push_back((r * 64 + c * 37) % checks.size());
    }
    std::sort(fired.begin(), fired.end());
    fired.erase(std::unique(fired.begin(), fired.end()), fired.end());
    tally(fired);
  }
  tally({0, 2999, 1, 2, 3, 4, 6});
  EXPECT_EQ(summary.fired_together.size(), txhost::ScreenSummary::kMostPairs);
  EXPECT_EQ(summary.FiredTogether(0, 2999), 3u) << "a pair already kept is still counted";
}

}  // namespace
