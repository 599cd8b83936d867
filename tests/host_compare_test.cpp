// A draft rule set beside the live one: one run gives what two separate runs, compared, give;
// a check both sets have is called once; the checks are matched by label.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "comparison.h"
#include "csv.h"
#include "dynamic_library.h"
#include "exit_status.h"
#include "ocisim.h"
#include "screen_command.h"
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

Rows ReadCsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  txhost::CsvReader reader(in);
  Rows rows;
  txhost::CsvRecord record;
  while (reader.Next(&record)) rows.emplace_back(record.fields.begin(), record.fields.end());
  return rows;
}

bool AnyFired(const std::vector<std::string>& row) {
  for (size_t c = 1; c < row.size(); ++c) {
    if (row[c] == "1") return true;
  }
  return false;
}

class CompareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::TempPath("compare_test");
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
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

  testing_support::ScopedStandIn stand_in_;
  std::string dir_;
};

TEST_F(CompareTest, OneRunGivesWhatTwoRunsComparedGive) {
  const std::string live = kSource + "/examples/rules.conf";
  txhost::ScreenSummary ignored("", "", {}, false, false), summary("", "", {}, false, false);
  size_t draft_calls = 0, live_calls = 0, both_calls = 0;
  Screen(dir_ + "/draft.conf", "draft.csv", "", &ignored, &draft_calls);
  Screen(live, "live.csv", "", &ignored, &live_calls);
  Screen(dir_ + "/draft.conf", "both.csv", live, &summary, &both_calls);
  ASSERT_TRUE(summary.comparison.has_value());
  const txhost::Comparison& c = *summary.comparison;

  // What comparing the two runs' outputs by hand gives.
  const Rows draft = ReadCsv(dir_ + "/draft.csv"), live_rows = ReadCsv(dir_ + "/live.csv");
  const Rows input = ReadCsv(kSource + "/examples/transactions.csv");
  ASSERT_EQ(draft.size(), live_rows.size());
  size_t counts[2][2] = {};  // [draft flags][live flags]
  std::map<std::string, size_t> outcomes;
  std::string changes = "id,_line,flagged_by,draft_checks,live_checks\n";
  for (size_t r = 1; r < draft.size(); ++r) {
    const bool d = AnyFired(draft[r]), l = AnyFired(live_rows[r]);
    ++counts[d][l];
    const std::string& label = input[r].back();
    if (d != l) {
      ++outcomes[(label == "1" ? "fraud " : "genuine ") + std::string(d ? "draft" : "live")];
      std::string fired[2];
      for (int side = 0; side < 2; ++side) {
        const Rows& rows = side == 0 ? draft : live_rows;
        for (size_t col = 1; col < rows[r].size(); ++col) {
          if (rows[r][col] != "1") continue;
          fired[side] += (fired[side].empty() ? "" : ";") + rows[0][col];
        }
      }
      changes += draft[r][0] + "," + std::to_string(r + 1) + "," + (d ? "draft" : "live") + "," +
                 fired[0] + "," + fired[1] + "\n";
    }
  }
  EXPECT_EQ(c.both, counts[1][1]);
  EXPECT_EQ(c.draft_only, counts[1][0]);
  EXPECT_EQ(c.live_only, counts[0][1]);
  EXPECT_EQ(c.neither, counts[0][0]);
  EXPECT_GT(c.draft_only + c.live_only, 0u) << "the draft changes some decisions";
  EXPECT_EQ(ReadFile(dir_ + "/changes.csv"), changes);
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
  EXPECT_EQ(c.pair.added, std::vector<std::string>{"saturday"});
  EXPECT_EQ(c.pair.removed, std::vector<std::string>{"bad_account"});
  EXPECT_EQ(c.pair.changed, std::vector<std::string>{"sharp_increase"});
  // The database checks of both sets are the same ones: the server sees the draft's calls only.
  EXPECT_EQ(both_calls, draft_calls);
  EXPECT_GT(live_calls, 0u);
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
  // A set flags a row when any of its checks fires.
  EXPECT_TRUE(txhost::Flags(pair, {0, 1, 0, 0}, true));
  EXPECT_FALSE(txhost::Flags(pair, {0, 1, 0, 0}, false));
  EXPECT_TRUE(txhost::Flags(pair, {0, 0, 0, 1}, false));
}

}  // namespace
