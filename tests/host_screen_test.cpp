// `txhost screen` end to end: the rule set checked before any row, outputs that are all or
// nothing and never over what the user has, rejects, alerts tied to their row and check, the
// output in input order on any number of threads, and the backtest figures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dynamic_library.h"
#include "exit_status.h"
#include "ocisim.h"
#include "rule_set.h"
#include "screen_command.h"
#include "session_pool.h"
#include "stand_in.h"
#include "temp_files.h"

namespace {

using Strings = std::vector<std::string>;

using testing_support::LeftoverTemporaries;
using testing_support::ReadFile;

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The user u/p, and an account A whose average is 100.
    testing_support::ScopedStandIn::DefineDatabase("db");
    ocisim_add_history("db", "A", 100);
    dir_ = testing_support::FreshDirectory("screen_test");
    options_.library_directory = txhost::DynamicLibrary::ProgramDirectory();
    options_.connect = "u/p@db";
    options_.out = Path("out.csv");
    options_.rejects = Path("rejects.csv");
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }
  // Runs the command with its messages caught in err_.
  int Run(txhost::ScreenSummary* summary = nullptr) {
    options_.connect = "u/p@db";  // a run wipes it once its session has begun
    testing_support::CapturedMessages messages;
    options_.messages = messages.file();
    int status = txhost::RunScreen(options_, summary);
    options_.messages = stderr;
    err_ = messages.Text();
    return status;
  }

  testing_support::ScopedStandIn stand_in_;
  std::string dir_;
  std::string err_;
  txhost::ScreenOptions options_;
};

// Any column can be named, in backquotes; a bare word that is also a column's name is refused,
// never read silently as a literal, and the message shows how to write either meaning.
TEST_F(ScreenTest, EveryColumnCanBeNamedAndNoBareWordIsTakenForOne) {
  options_.transactions =
      Write("t.csv", "id,2fa_zip,-ship zip,.account,amount,400\nT1,1,1,A,500,3\nT2,2,3,B,5,600\n");
  options_.rules = Write("ok.conf",
                         "same txscreen2 SAMEZIPCODE `2fa_zip` `-ship zip` `.account`\n"
                         "over txscreen OVERCREDITLIMIT amount `400`\n"
                         "literal txscreen OVERCREDITLIMIT amount \"400\"\n"
                         "named txscreen BADACCOUNT `.account` \"2fa_zip\"\n");
  ASSERT_EQ(Run(), txhost::kExitOk) << err_;
  EXPECT_EQ(ReadFile(options_.out), "id,same,over,literal,named\nT1,1,1,1,0\nT2,0,0,0,0\n");
  options_.rules = Write("bare.conf",
                         "a txscreen BADACCOUNT 2fa_zip .account\n"
                         "b txscreen OVERCREDITLIMIT amount -ship\n"
                         "c txscreen OVERCREDITLIMIT amount 400\n"
                         "d txscreen OVERCREDITLIMIT amount 4x00\n");
  const std::string at = options_.rules + ":";
  EXPECT_EQ(Run(), txhost::kExitUsage);
  EXPECT_EQ(err_,
            at +
                "1: argument 1 of BADACCOUNT, 2fa_zip, is both a bare literal and a column's "
                "name: write `2fa_zip` for the column, or \"2fa_zip\" for the literal\n" +
                at +
                "1: argument 2 of BADACCOUNT, .account, is both a bare literal and a "
                "column's name: write `.account` for the column, or \".account\" for the "
                "literal\n" +
                at + "2: argument 2 of OVERCREDITLIMIT is amount, but \"-ship\" is not a number\n" +
                at +
                "3: argument 2 of OVERCREDITLIMIT, 400, is both a bare literal and a "
                "column's name: write `400` for the column, or \"400\" for the literal\n" +
                at + "4: argument 2 of OVERCREDITLIMIT is amount, but \"4x00\" is not a number\n");
  // A word that is no literal of its kind but a column's name: only the column can be meant.
  options_.transactions = Write("t2.csv", "id,amount,-ship\nT1,5,3\n");
  options_.rules = Write("amount.conf", "b txscreen OVERCREDITLIMIT amount -ship\n");
  EXPECT_EQ(Run(), txhost::kExitUsage);
  EXPECT_EQ(err_, options_.rules +
                      ":1: argument 2 of OVERCREDITLIMIT is amount, but \"-ship\" "
                      "is not a number; to read the column, write `-ship`\n");
}

// A list that cannot be used stops the run before any row, naming the rule set's line, the
// argument and the list file's own line; one file named twice is read, and reported, once.
TEST_F(ScreenTest, RefusesListsThatCannotBeUsed) {
  options_.transactions = Write("t.csv", "id,account,amount,date\nT1,A,5,2026-12-07\n");
  Write("good.txt", "A\n");
  Write("empty.txt", "# nothing yet\r\n\r\n");
  // Not nul.txt: on Windows NUL names the null device in every folder.
  Write("zero_byte.txt", std::string("A\nB\0C\n", 6));
  Write("latin1.txt", "A\n# comment\nM\xfcller\n");
  options_.rules = Write("lists.conf",
                         "a txscreen BADACCOUNT account @missing.txt\n"
                         "b txscreen BADACCOUNT account @empty.txt\n"
                         "c txscreen BADACCOUNT account @zero_byte.txt\n"
                         "d txscreen BADACCOUNT account @latin1.txt\n"
                         "e txscreen OVERCREDITLIMIT amount @good.txt\n"
                         "f txscreen TESTCONN amount @good.txt\n"
                         "g txscreen SPECIAL_USER @good.txt @good.txt account account\n"
                         "h txscreen BADACCOUNT @good.txt @good.txt\n"
                         "i txscreen TESTDATE @good.txt in [\"SAT\"] date\n"
                         "j txscreen BADACCOUNT account @\"good.txt\n"
                         "k txscreen BADACCOUNT @missing.txt account\n");
  const std::string at = options_.rules + ":", dir = dir_ + "/";
  const Strings expected = {
      at + "1: argument 2 of BADACCOUNT: the list missing.txt cannot be used: " + dir +
          "missing.txt: No such file or directory",
      at + "2: argument 2 of BADACCOUNT: the list empty.txt cannot be used: " + dir +
          "empty.txt: the list holds no values; an empty list matches no row, which is seldom "
          "what a list is for",
      at + "3: argument 2 of BADACCOUNT: the list zero_byte.txt cannot be used: " + dir +
          "zero_byte.txt:2: the line holds a NUL byte, which no rule can be given",
      at + "4: argument 2 of BADACCOUNT: the list latin1.txt cannot be used: " + dir +
          "latin1.txt:3: the line is not UTF-8",
      at + "5: argument 2 of OVERCREDITLIMIT (amount) cannot be the list good.txt: a list "
           "stands only for a text the rule compares for equality",
      at + "6: argument 2 of TESTCONN (text) cannot be the list good.txt: a list stands only "
           "for a text the rule compares for equality",
      at + "7: argument 2 of SPECIAL_USER (text) cannot be the list good.txt: a list stands "
           "only for a text the rule compares for equality",
      at + "7: one argument of a check may be a list, not 2",
      at + "8: one argument of a check may be a list, not 2",
      at + "9: argument 1 of TESTDATE is a list; only a literal can be swept",
      at + "10: a quoted literal is not closed",
      at + "11: argument 1 of BADACCOUNT: the list missing.txt cannot be used: " + dir +
          "missing.txt: No such file or directory",
  };
  EXPECT_EQ(Run(), txhost::kExitUsage);
  std::string listed;
  for (const std::string& problem : expected) listed += problem + "\n";
  EXPECT_EQ(err_, listed);
  EXPECT_FALSE(std::filesystem::exists(options_.out)) << "no output is created";
}

// A list file's values are its lines exactly: a trailing space and a lone CR inside are kept,
// the CR of a CRLF end, a byte-order mark, comments and blank lines are not, and a value written
// twice is one value.
TEST(TextListTest, ReadsEachLineAsOneValueByteForByte) {
  const std::string dir = testing_support::FreshDirectory("text_list_test");
  const std::string path = dir + "/l.txt";
  std::ofstream(path, std::ios::binary)
      << "\xef\xbb\xbf"
         "A\r\n# not a value\r\n\r\nB \r\n a#b\nC\rD\nA\n\xc3\xa9";
  std::string problem;
  auto list = txhost::TextList::Read("l.txt", path, &problem);
  ASSERT_TRUE(list) << problem;
  Strings values;
  for (size_t v = 0; v < list->size(); ++v) values.push_back(list->value(v));
  EXPECT_EQ(values, (Strings{"A", "B ", " a#b", "C\rD", "\xc3\xa9"}));
  for (size_t v = 0; v < values.size(); ++v) EXPECT_EQ(list->Find(values[v]), int64_t(v));
  for (const char* absent : {"B", "a#b", "", "A\r",
                             "\xef\xbb\xbf"
                             "A"}) {
    EXPECT_EQ(list->Find(absent), -1) << absent;
  }
  // Many values, each found in one look-up of its own bytes.
  std::vector<std::string> many;
  for (int i = 0; i < 100000; ++i) many.push_back("ACC-" + std::to_string(i));
  auto big = txhost::TextList::FromValues("big", many, &problem);
  ASSERT_TRUE(big) << problem;
  EXPECT_EQ(big->size(), many.size());
  for (int i = 0; i < 100000; i += 997) EXPECT_EQ(big->Find(many[i]), i);
  EXPECT_EQ(big->Find("ACC-100000"), -1);
  // Two lists are the same when they hold the same values, whatever their order.
  auto reordered = txhost::TextList::FromValues("r", {"D", "C", "B"}, &problem);
  auto other = txhost::TextList::FromValues("o", {"B", "C", "E"}, &problem);
  auto same = txhost::TextList::FromValues("s", {"B", "C", "D"}, &problem);
  EXPECT_TRUE(reordered->SameValues(*same));
  EXPECT_FALSE(reordered->SameValues(*other));
  EXPECT_EQ(reordered->CountMissingFrom(*other), 1u);
}

TEST_F(ScreenTest, ChecksTheWholeRuleSetBeforeScreening) {
  options_.transactions = Write("t.csv", "id,amount,date\nT1,5,2026-12-07\n");
  options_.rules = Write("bad.conf",
                         "ok txscreen OVERCREDITLIMIT amount 3\n"
                         "a txnowhere BADACCOUNT id id\n"
                         "b txscreen NOSUCHRULE id\n"
                         "c txscreen BADACCOUNT id\n"
                         "d txscreen BADACCOUNT id acount\n"
                         "e txscreen OVERCREDITLIMIT amount \"ten\"\n"
                         "ok txscreen TESTDATE \"MON\" 2026-02-30\n"
                         "id txscreen OVERCREDITLIMIT amount 3\n"
                         "outcome approve\n"
                         "outcome review from 40\n"
                         "outcome review from 40.0\n"
                         "outcome decline from 50 in [1, 2] in [3]\n"
                         "outcome txscreen OVERCREDITLIMIT amount 3\n"
                         "f txscreen OVERCREDITLIMIT amount 3 score ten\n"
                         "_score txscreen OVERCREDITLIMIT amount 3\n"
                         "g txscreen OVERCREDITLIMIT amount 3 score ten in [1, 2]\n"
                         "outcome hold from x\n");
  const std::string at = options_.rules + ":";
  const Strings expected = {
      at + "2: unknown library txnowhere",
      at + "3: txscreen has no rule NOSUCHRULE",
      at + "4: BADACCOUNT takes 2 arguments (text, text), not 1",
      at + "5: unknown column acount",
      at + "6: argument 2 of OVERCREDITLIMIT is amount, but \"ten\" is not a number",
      at + "7: the label ok is used twice",
      at + "7: argument 2 of TESTDATE is date, but \"2026-02-30\" is not a calendar date",
      at + "9: outcomes decide on a score, but no check has one",
      at + "11: the outcome review is named twice",
      at + "11: the threshold of review (40.0) must rise above that of review (40)",
      at + "12: a threshold may be swept once, not twice",
      at + "13: an outcome is written outcome NAME, or outcome NAME from SCORE, optionally "
           "followed by in [SET]; outcome is a reserved word and cannot label a check",
      at + "14: the score ten is not a decimal number of at most 15 digits",
      at + "15: the label _score is the name of a results column of txhost's own",
      at + "16: the score ten is not a decimal number of at most 15 digits",
      at + "16: only an argument's literal can be swept, not a score",
      at + "17: the threshold x is not a decimal number of at most 15 digits",
      // Checked once the set is read, against the input's id column.
      at + "8: the label id is the name of the id column; the results would have two",
  };
  EXPECT_EQ(Run(), txhost::kExitUsage);
  std::string listed;
  for (const std::string& problem : expected) listed += problem + "\n";
  EXPECT_EQ(err_, listed);
  EXPECT_FALSE(std::filesystem::exists(options_.out)) << "no output is created";
  options_.rules = dir_;
  EXPECT_EQ(Run(), txhost::kExitUsage);
  EXPECT_EQ(err_, dir_ + ": Is a directory\n");
  // An id named as a column the results add; a set that does not add it may have such an id.
  const std::string decides = Write("decides.conf",
                                    "a txscreen OVERCREDITLIMIT amount 3 score 10\n"
                                    "outcome approve\noutcome decline from 5\n");
  const std::string scores = Write("scores.conf", "a txscreen OVERCREDITLIMIT amount 3 score 10\n");
  const struct {
    const char* id;
    std::string rules;
    const char* problem;
  } id_cases[] = {
      {"_score", decides, "the id column _score has the name of the column the scores go in"},
      {"_outcome", decides, "the id column _outcome has the name of the column the outcomes go in"},
      {"_outcome", scores, nullptr},
  };
  for (const auto& c : id_cases) {
    SCOPED_TRACE(std::string(c.id) + " with " + c.rules);
    options_.transactions = Write("ids.csv", std::string(c.id) + ",amount\nT1,5\n");
    options_.id_column = c.id;
    options_.rules = c.rules;
    if (c.problem == nullptr) {
      EXPECT_EQ(Run(), txhost::kExitOk);
      EXPECT_EQ(ReadFile(options_.out), std::string(c.id) + ",a,_score\nT1,1,10\n");
    } else {
      EXPECT_EQ(Run(), txhost::kExitUsage);
      EXPECT_EQ(err_, c.rules + ": " + c.problem + "; the results would have two\n");
    }
  }
}

TEST_F(ScreenTest, ATextWithANulIsRejectedNeverCutShort) {
  options_.transactions =
      Write("t.csv", std::string("id,account\nT1,ACC-6661") + '\0' + "XYZ\nT2,ACC-6661\n");
  options_.rules = Write("r.conf", "bad txscreen BADACCOUNT account \"ACC-6661\"\n");
  EXPECT_EQ(Run(), txhost::kExitFindings);
  EXPECT_EQ(ReadFile(options_.out), "id,bad\nT2,1\n");
  EXPECT_NE(ReadFile(options_.rejects).find("column account: \"\"ACC-6661\\0XYZ\"\" holds a NUL byte"),
            std::string::npos)
      << ReadFile(options_.rejects);
}

TEST_F(ScreenTest, ScreensInInputOrderOnAnyNumberOfThreadsAndKeepsTheRejects) {
  std::string csv = "id,account,amount,date,fraud\n";
  std::string expected = "id,avg,mon\n";
  for (int i = 0; i < 9000; ++i) {
    csv += "T" + std::to_string(i) + ",A," + std::to_string(50 + i % 100) + ",2026-12-07," +
           std::to_string(i % 100 >= 50) + "\n";
    expected += "T" + std::to_string(i) + (50 + i % 100 > 100 ? ",1,1\n" : ",0,1\n");
  }
  csv += "BAD1,A,abc,2026-12-07,0\nBAD2,A,5\nBAD3,A,5,2026-02-30,0\nODD,A,5,2026-12-07,x\n"
         "LONG,A,5,2026-12-07,0,\"x,y\",z\n";
  expected += "ODD,0,1\n";  // an odd label leaves a row out of the backtest only
  options_.transactions = Write("t.csv", csv);
  options_.rules = Write("r.conf",
                         "avg txscreen TESTCONN amount account\n"
                         "mon txscreen TESTDATE \"MON\" date\n");
  options_.label_column = "fraud";
  for (unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    options_.threads = threads;
    txhost::ScreenSummary summary("", "", {}, false, false);
    ASSERT_EQ(Run(&summary), txhost::kExitFindings) << err_;
    EXPECT_EQ(ReadFile(options_.out), expected);
    EXPECT_EQ(summary.unlabelled, 1u);
    EXPECT_EQ(summary.rejects_by_reason,
              (std::map<std::string, size_t>{{"column amount: is not a number", 1},
                                             {"column date: is not a calendar date", 1},
                                             {"wrong number of fields", 2}}));
  }
  EXPECT_EQ(
      ReadFile(options_.rejects),
      "id,account,amount,date,fraud,_line,_reason\n"
      "BAD1,A,abc,2026-12-07,0,9002,\"column amount: \"\"abc\"\" is not a number\"\n"
      "BAD2,A,5,,,9003,\"expected 5 fields, found 3\"\n"
      "BAD3,A,5,2026-02-30,0,9004,\"column date: \"\"2026-02-30\"\" is not a calendar date\"\n"
      "LONG,A,5,2026-12-07,\"0,x,y,z\",9006,\"expected 5 fields, found 7\"\n");
  EXPECT_NE(err_.find(options_.transactions + ":9003: rejected: expected 5 fields, found 3\n"),
            std::string::npos)
      << err_;
  EXPECT_EQ(ocisim_live_handles(0), 0u) << "the session is closed at the end";
}

TEST_F(ScreenTest, ShowsTheFirstTenRejectsAndCountsTheRest) {
  std::string csv = "id,amount\n";
  for (int i = 0; i < 25; ++i) csv += "T" + std::to_string(i) + ",x\n";
  options_.transactions = Write("t.csv", csv);
  options_.rules = Write("r.conf", "over txscreen OVERCREDITLIMIT amount 5\n");
  ASSERT_EQ(Run(), txhost::kExitFindings);
  size_t shown = 0;
  for (size_t at = 0; (at = err_.find(": rejected: ", at)) != std::string::npos; ++at) ++shown;
  EXPECT_EQ(shown, 10u) << err_;
  EXPECT_NE(err_.find("rejected 25: column amount: is not a number\n"), std::string::npos) << err_;
}

TEST_F(ScreenTest, BacktestsOnlyLabelledRowsSweepsAndExplainsByCheckLabel) {
  options_.transactions = Write("t.csv",
                                "id,account,fraud\n"
                                "A1,X,1\nA2,X,1.0\nB,X,0\nC,Y,1\nD,Y,0.00\nE,X,\nF,X,maybe\n"
                                "G,X,10\nH,X,1.\nI,X,1.01\n");
  options_.rules = Write("r.conf",
                         "flagged txscreen BADACCOUNT account \"X\" in [\"Y\", \"X\", \"Z\"]\n"
                         "never txscreen BADACCOUNT account \"Z\"\n");
  options_.label_column = "fraud";
  options_.explain = Path("explain.jsonl");
  options_.summary = Path("summary.json");
  txhost::ScreenSummary summary("", "", {}, false, false);
  ASSERT_EQ(Run(&summary), txhost::kExitOk) << err_;
  EXPECT_EQ(ReadFile(options_.out),
            "id,flagged,never\nA1,1,0\nA2,1,0\nB,1,0\nC,0,0\nD,0,0\nE,1,0\nF,1,0\nG,1,0\n"
            "H,1,0\nI,1,0\n");
  // 1.0 and 0.00 are labels (a float column writes them so); 10, "1." and 1.01 are not.
  EXPECT_EQ(summary.unlabelled, 5u);
  const txhost::CheckSummary& flagged = summary.checks[0];
  EXPECT_EQ(flagged.hits, 8u);
  EXPECT_EQ(flagged.true_positives, 2u);
  EXPECT_EQ(flagged.false_positives, 1u);
  EXPECT_EQ(flagged.false_negatives, 1u);
  EXPECT_EQ(flagged.Precision(), 2.0 / 3);
  EXPECT_EQ(flagged.Recall(), 2.0 / 3);
  const txhost::CheckSummary& never = summary.checks[1];
  EXPECT_EQ(never.Precision(), std::nullopt) << "a check that never fired has no precision";
  EXPECT_EQ(never.Recall(), 0.0);
  // Each value of the sweep over the same rows; the column above kept the current "X".
  ASSERT_EQ(flagged.sweep.size(), 3u);
  const txhost::SweepPoint& y = flagged.sweep[0];
  EXPECT_EQ(y.value, "Y");
  EXPECT_EQ(std::vector<size_t>({y.hits, y.true_positives, y.false_positives, y.false_negatives}),
            std::vector<size_t>({2, 1, 1, 2}));
  const txhost::SweepPoint& x = flagged.sweep[1];
  EXPECT_EQ(std::vector<size_t>({x.hits, x.true_positives, x.false_positives, x.false_negatives}),
            std::vector<size_t>({8, 2, 1, 1}));
  EXPECT_EQ(flagged.sweep[2].hits, 0u);
  EXPECT_EQ(flagged.sweep[2].Precision(), std::nullopt);
  EXPECT_EQ(flagged.current_value, "X");
  EXPECT_EQ(flagged.current_index, 1) << "the report marks the value the column used";
  std::string summary_json = ReadFile(options_.summary);
  EXPECT_NE(summary_json.find("\"precision\": null"), std::string::npos) << summary_json;
  EXPECT_NE(summary_json.find("\"rows_unlabelled\": 5"), std::string::npos) << summary_json;

  std::string explained = ReadFile(options_.explain);
  size_t lines = 0;
  for (size_t at = 0; (at = explained.find("\"label\":\"flagged\"", at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, 8u) << explained;
  EXPECT_EQ(explained.rfind("{\"id\":\"A1\",\"line\":2,\"label\":\"flagged\",", 0), 0u)
      << explained;
}

// Scores add up exactly, negative ones included, and a score equal to a threshold takes that
// outcome; a swept threshold gives what separate runs at each of its values give.
TEST_F(ScreenTest, DecidesEachRowByItsScoreAndSweepsAThresholdOverTheSameRows) {
  options_.transactions = Write("t.csv",
                                "id,amount,limit,user,fraud\n"
                                "NONE,1,10,x,0\n"      // 0
                                "LOW,20,10,svc,0\n"    // 45.5 - 20.2 = 25.3: approve
                                "EDGE,20,10,x,1\n"     // 45.5 - 5.5 = 40: review, at its threshold
                                "TRUST,1,10,svc,0\n"   // -20.2
                                "HIGH,900,10,x,1\n"    // 45.5 + 30 - 5.5 = 70
                                "TOP,900,10,y,1\n"     // 45.5 + 30 = 75.5: decline
                                "MISS,1,10,y,1\n");    // 0
  const std::string checks =
      "over txscreen OVERCREDITLIMIT amount limit score 45.5\n"
      "sharp txscreen SHARPINCREASE amount limit 500 score 30\n"
      "trusted txscreen SPECIAL_USER \"svc\" \"T1\" user \"T2\" score -20.2\n"
      "x_user txscreen BADACCOUNT user \"x\" score -5.5\n"
      "outcome approve\n"
      "outcome review from 40\n";
  options_.rules = Write("r.conf", checks + "outcome decline from 75.5 in [0, 25.3, 40, 70, 75.5, 80]\n");
  options_.label_column = "fraud";
  options_.summary = Path("summary.json");
  options_.explain = Path("explain.jsonl");
  ASSERT_EQ(Run(), txhost::kExitOk) << err_;
  // The text summary's figures, each precision beside a different recall: TP, FP, FN, precision
  // and recall in their columns, and what stopping the rows catches.
  EXPECT_NE(err_.find("x_user                 BADACCOUNT              3    42.9%       0      2"
                      "      1      2     66.7%   50.0%\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("  stopped 3: TP 3, FP 0, FN 1, precision 100.0%, recall 75.0%\n"),
            std::string::npos)
      << err_;
  const std::string explained = ReadFile(options_.explain);
  EXPECT_NE(explained.find("{\"id\":\"TRUST\",\"line\":5,\"label\":\"trusted\",\"library\":"
                           "\"txscreen\",\"rule\":\"SPECIAL_USER\",\"args\":["),
            std::string::npos)
      << explained;
  EXPECT_NE(explained.find("],\"score\":-20.2}\n"), std::string::npos) << explained;
  options_.explain.clear();
  EXPECT_EQ(ReadFile(options_.out),
            "id,over,sharp,trusted,x_user,_score,_outcome\n"
            "NONE,0,0,0,1,-5.5,approve\n"
            "LOW,1,0,1,0,25.3,approve\n"
            "EDGE,1,0,0,1,40.0,review\n"
            "TRUST,0,0,1,0,-20.2,approve\n"
            "HIGH,1,1,0,1,70.0,review\n"
            "TOP,1,1,0,0,75.5,decline\n"
            "MISS,0,0,0,0,0.0,approve\n");
  const nlohmann::json swept = nlohmann::json::parse(ReadFile(options_.summary));
  const nlohmann::json& decline = swept["outcomes"][2];
  EXPECT_EQ(decline["from"], "75.5");
  EXPECT_EQ(decline["sweep"]["current_index"], 4);
  EXPECT_EQ(swept["decisions"]["stopped"], 3);
  EXPECT_EQ(swept["decisions"]["true_positives"], 3);
  EXPECT_EQ(swept["decisions"]["false_negatives"], 1);
  // Each value of the sweep against a run whose decline starts there: what it stops.
  const nlohmann::json& values = decline["sweep"]["values"];
  ASSERT_EQ(values.size(), 6u);
  for (const nlohmann::json& value : values) {
    const std::string threshold = value["value"];
    SCOPED_TRACE(threshold);
    options_.rules = Write("r.conf", checks.substr(0, checks.find("outcome review")) +
                                         "outcome decline from " + threshold + "\n");
    ASSERT_EQ(Run(), txhost::kExitOk) << err_;
    // Counted from that run's rows, not from its summary: its outcome column beside the labels.
    std::istringstream rows(ReadFile(options_.out)), labels(ReadFile(options_.transactions));
    std::string row, label;
    size_t counts[2][2] = {};  // [declined][fraud]
    std::getline(rows, row);
    std::getline(labels, label);
    while (std::getline(rows, row) && std::getline(labels, label)) {
      ++counts[row.size() > 8 && row.substr(row.size() - 8) == ",decline"][label.back() == '1'];
    }
    EXPECT_EQ(value["hits"], counts[1][0] + counts[1][1]);
    EXPECT_EQ(value["true_positives"], counts[1][1]);
    EXPECT_EQ(value["false_positives"], counts[1][0]);
    EXPECT_EQ(value["false_negatives"], counts[0][1]);
  }
  EXPECT_EQ(values[2]["hits"], 3) << "a score equal to the threshold is stopped";
}

TEST_F(ScreenTest, ParseOnlyReadsEveryRowCallsNoRuleAndLeavesTheResultsAlone) {
  options_.transactions = Write("t.csv", "id,date\nT1,2026-12-07\nT2,2026-12-08\nT3,bad\n");
  // A rule set saved with a byte-order mark reads as one without.
  options_.rules = Write("r.conf",
                         "\xEF\xBB\xBFsame txscreen BADACCOUNT id id\n"
                         "mon txscreen TESTDATE \"MON\" date\n");
  Write("out.csv", "earlier results\n");
  options_.parse_only = true;
  stand_in_.StartLog();
  txhost::ScreenSummary summary("", "", {}, false, false);
  ASSERT_EQ(Run(&summary), txhost::kExitFindings) << err_;
  EXPECT_EQ(summary.screened, 2u);
  EXPECT_EQ(summary.rejected, 1u);
  EXPECT_EQ(summary.checks[0].hits, 0u) << "BADACCOUNT id id fires on every row it is called on";
  EXPECT_EQ(ocisim_call_count(), 0u) << "no session, no rule";
  EXPECT_EQ(ReadFile(options_.out), "earlier results\n");
  EXPECT_NE(err_.find("--parse-only reads and converts every row and calls no rule: --out " +
                      options_.out + " is left as it is\n"),
            std::string::npos)
      << err_;
}

TEST_F(ScreenTest, RefusesOutputsThatWouldHarmWhatTheUserHasAndTouchesNothing) {
  const std::string transactions = "id,account\nT1,A\n";
  std::filesystem::create_directories(Path("a_directory"));
  struct Case {
    const char* what;
    std::string txhost::ScreenOptions::*option;
    std::string path;
    std::string message;
  } cases[] = {
      {"the input as --out", &txhost::ScreenOptions::out, Path("t.csv"),
       "--out " + Path("t.csv") + ": is the same file as transactions " + Path("t.csv")},
      {"the input spelt another way", &txhost::ScreenOptions::explain, dir_ + "/./t.csv",
       ": is the same file as transactions"},
      {"the rule set", &txhost::ScreenOptions::summary, Path("r.conf"),
       ": is the same file as --rules"},
      {"two outputs in one file", &txhost::ScreenOptions::rejects, Path("out.csv"),
       "--rejects " + Path("out.csv") + ": is the same file as --out " + Path("out.csv")},
      {"a directory that does not exist", &txhost::ScreenOptions::alerts,
       Path("missing/alerts.jsonl"), ": the directory " + Path("missing") + ": "},
      {"a directory", &txhost::ScreenOptions::summary, Path("a_directory"), "Is a directory"},
      // Every file the run reads is an input: the password file, the lists, the libraries.
      {"the password file", &txhost::ScreenOptions::out, Path("pw.txt"),
       ": is the same file as --password-file"},
      {"a list", &txhost::ScreenOptions::explain, Path("l.txt"), ": is the same file as the list"},
      {"a library", &txhost::ScreenOptions::summary,
       Path("libs/" + txhost::DynamicLibrary::FileName("txscreen")),
       ": is the same file as the library"},
  };
  const std::string library = txhost::DynamicLibrary::FileName("txscreen");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    options_ = txhost::ScreenOptions{};
    stand_in_.Restart();
    SetUp();
    std::filesystem::create_directories(Path("a_directory"));
    options_.transactions = Write("t.csv", transactions);
    options_.rules = Write("r.conf", "bad txscreen BADACCOUNT account @l.txt\n");
    Write("l.txt", "A\n");
    options_.password_file = Write("pw.txt", "p\n");
    // A copy of the libraries, so that a fault here cannot harm the build's.
    std::filesystem::create_directories(Path("libs"));
    std::filesystem::copy_file(options_.library_directory + "/" + library, Path("libs/" + library));
    options_.library_directory = Path("libs");
    Write("out.csv", "earlier results\n");
    options_.*c.option = c.path;
    EXPECT_EQ(Run(), txhost::kExitUsage);
    EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
    EXPECT_EQ(ReadFile(options_.transactions), transactions);
    EXPECT_EQ(ReadFile(Path("pw.txt")), "p\n");
    EXPECT_EQ(ReadFile(Path("l.txt")), "A\n");
    EXPECT_EQ(ReadFile(Path("out.csv")), "earlier results\n");
    EXPECT_FALSE(std::filesystem::exists(Path("rejects.csv"))) << "no output is created";
    EXPECT_EQ(LeftoverTemporaries(dir_), Strings{});
  }
}

TEST_F(ScreenTest, PublishesEveryOutputItWasAskedFor) {
  options_.transactions = Write("t.csv", "id,amount\nT1,9\nT2,x\n");
  options_.rules = Write("r.conf", "over txscreen OVERCREDITLIMIT amount 5\n");
  const std::pair<std::string txhost::ScreenOptions::*, const char*> outputs[] = {
      {&txhost::ScreenOptions::out, "\nT1,1\n"},
      {&txhost::ScreenOptions::rejects, "T2,x,3,"},
      {&txhost::ScreenOptions::explain, "\"label\":\"over\""},
      {&txhost::ScreenOptions::alerts, ""},
      {&txhost::ScreenOptions::summary, "\"rows_read\": 2"},
      {&txhost::ScreenOptions::report, "<html"},
  };
  int number = 0;
  for (const auto& [option, content] : outputs) {
    options_.*option = Path("output" + std::to_string(++number));
    std::filesystem::remove(options_.*option);
  }
  EXPECT_EQ(Run(), txhost::kExitFindings) << err_;
  for (const auto& [option, content] : outputs) {
    EXPECT_TRUE(std::filesystem::exists(options_.*option)) << options_.*option;
    EXPECT_NE(ReadFile(options_.*option).find(content), std::string::npos) << options_.*option;
  }
  EXPECT_EQ(LeftoverTemporaries(dir_), Strings{});
}

TEST_F(ScreenTest, AFailedRunPublishesNothingAndSaysWhy) {
  options_.transactions = Write("t.csv", "id,amount\nT1,1\nT2,x\nT3,y\nT4,2\n");
  options_.rules = Write("r.conf", "over txscreen OVERCREDITLIMIT amount 5\n");
  Write("out.csv", "earlier results\n");
  options_.max_rejects = 1;
  EXPECT_EQ(Run(), txhost::kExitFailed);
  EXPECT_NE(err_.find("more than 1 rows rejected (--max-rejects); stopped at " +
                      options_.transactions + ":4, nothing was written"),
            std::string::npos)
      << err_;
  EXPECT_EQ(ReadFile(options_.out), "earlier results\n");
  EXPECT_FALSE(std::filesystem::exists(options_.rejects));
  EXPECT_EQ(LeftoverTemporaries(dir_), Strings{});
}

TEST_F(ScreenTest, AFailedWriteIsAFailedRun) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill up here";
  options_.transactions = Write("t.csv", "id,amount\nT1,10\n");
  options_.rules = Write("r.conf", "over txscreen OVERCREDITLIMIT amount 5\n");
  Write("out.csv", "earlier results\n");
  for (auto option : {&txhost::ScreenOptions::explain, &txhost::ScreenOptions::summary}) {
    options_.explain = options_.summary = "";
    options_.*option = "/dev/full";
    EXPECT_EQ(Run(), txhost::kExitFailed);
    EXPECT_NE(err_.find("/dev/full: No space left on device"), std::string::npos) << err_;
    EXPECT_EQ(ReadFile(options_.out), "earlier results\n");
  }
  // Results that go straight to a device that takes none: the message counts what it took.
  options_.explain = options_.summary = "";
  options_.out = "/dev/full";
  EXPECT_EQ(Run(), txhost::kExitFailed);
  EXPECT_NE(err_.find("/dev/full: No space left on device; nothing was published, but /dev/full "
                      "has 0 result rows, which are incomplete"),
            std::string::npos)
      << err_;
}

TEST_F(ScreenTest, TiesEveryAlertToItsRowAndCheck) {
  const std::string database = Path("faulty");
  std::filesystem::create_directories(database);
  Write("faulty/users.csv", "user,password\nu,p\n");
  Write("faulty/history.csv", "account,amount\nA,100\nB,100\n");
  options_.transactions = Write("t.csv",
                                "id,account,amount\n"
                                "T1,A,500\nT2,FROZEN,500\nT3,B,500\nT4,FROZEN,5\nT5,A,500\n");
  options_.rules = Write("r.conf",
                         "big txscreen OVERCREDITLIMIT amount 10\n"
                         "avg txscreen TESTCONN amount account\n");
  options_.alerts = Path("alerts.jsonl");
  options_.summary = Path("summary.json");
  auto alert = [](const char* id, int line, const char* text) {
    return std::string("{\"id\":\"") + id + "\",\"line\":" + std::to_string(line) +
           ",\"label\":\"avg\",\"rule\":\"TESTCONN\",\"text\":\"" + text + "\"}\n";
  };
  struct Case {
    const char* faults;
    std::string results;
    std::string alerts;
    size_t on_lost_session = 0;
  } cases[] = {
      {"raise account FROZEN ORA-20001: account FROZEN is under review\n",
       "id,big,avg\nT1,1,1\nT2,1,0\nT3,1,1\nT4,0,0\nT5,1,1\n",
       alert("T2", 3, "ORA-20001: account FROZEN is under review") +
           alert("T4", 5, "ORA-20001: account FROZEN is under review")},
      {"raise every 2 ORA-04031: unable to allocate memory\n",
       "id,big,avg\nT1,1,1\nT2,1,0\nT3,1,1\nT4,0,0\nT5,1,1\n",
       alert("T2", 3, "ORA-04031: unable to allocate memory") +
           alert("T4", 5, "ORA-04031: unable to allocate memory")},
      {"session lost after 3\n", "id,big,avg\nT1,1,1\nT2,1,0\nT3,1,1\nT4,0,0\nT5,1,0\n",
       alert("T4", 5, "ORA-03113: end-of-file on communication channel") +
           alert("T5", 6, "ORA-03114: not connected to ORACLE"),
       2},
      {"procedure missing\n", "id,big,avg\nT1,1,0\nT2,1,0\nT3,1,0\nT4,0,0\nT5,1,0\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    Write("faulty/faults.conf", c.faults);
    char error[256] = "";
    ASSERT_EQ(ocisim_load_database("db", database.c_str(), error, sizeof error), 0) << error;
    txhost::ScreenSummary summary("", "", {}, false, false);
    ASSERT_EQ(Run(&summary), txhost::kExitFindings) << err_;
    EXPECT_EQ(ReadFile(options_.out), c.results);
    std::string alerts = ReadFile(options_.alerts);
    if (c.alerts.empty()) {
      EXPECT_EQ(summary.checks[1].alerts, 5u);
      EXPECT_NE(alerts.find("PLS-00201: identifier 'SCORING.ISOVERAVERAGE' must be declared"),
                std::string::npos)
          << alerts;
    } else {
      EXPECT_EQ(alerts, c.alerts);
      EXPECT_EQ(summary.checks[1].alerts, 2u);
    }
    EXPECT_EQ(summary.checks[0].alerts, 0u);
    EXPECT_EQ(summary.on_lost_session, c.on_lost_session);
    // The summary's first alerts are the alerts file's records, byte for byte.
    std::string first_alerts;
    for (size_t at = 0, end; (end = alerts.find('\n', at)) != std::string::npos; at = end + 1) {
      first_alerts += (first_alerts.empty() ? "" : ", ") + alerts.substr(at, end - at);
    }
    EXPECT_NE(ReadFile(options_.summary).find("\"first_alerts\": [" + first_alerts + "]"),
              std::string::npos)
        << ReadFile(options_.summary);
    EXPECT_NE(err_.find(options_.transactions + ":5: id T4: avg (TESTCONN) raised: ORA-"),
              std::string::npos)
        << err_;
    EXPECT_EQ(ocisim_live_handles(0), 0u);
  }
}

TEST_F(ScreenTest, ADatabaseSweepTriesTheChecksOwnValueOnceAndNamesTheValueOfEachAlert) {
  const std::string database = Path("reviewed");
  std::filesystem::create_directories(database);
  Write("reviewed/users.csv", "user,password\nu,p\n");
  Write("reviewed/history.csv", "account,amount\nA,100\nB,700\n");
  Write("reviewed/faults.conf", "raise account FROZEN ORA-20001: under review\n");
  char error[256] = "";
  ASSERT_EQ(ocisim_load_database("db", database.c_str(), error, sizeof error), 0) << error;
  options_.transactions = Write("t.csv", "id,account\nT1,A\nT2,FROZEN\nT3,B\n");
  options_.alerts = Path("alerts.jsonl");
  auto calls_of = [&](const std::string& rule) {
    options_.rules = Write("r.conf", "avg txscreen TESTCONN " + rule + " account\n");
    size_t before = ocisim_call_count();
    EXPECT_EQ(Run(), txhost::kExitFindings) << err_;
    return ocisim_call_count() - before;
  };
  const size_t alone = calls_of("500");
  const size_t two_more = calls_of("500 in [100, 900]");
  const size_t with_its_own = calls_of("500 in [100, 500, 900]");
  EXPECT_GT(two_more, alone);
  EXPECT_EQ(with_its_own, two_more) << "the check's own value is not called again";
  EXPECT_EQ(ReadFile(options_.alerts),
            "{\"id\":\"T2\",\"line\":3,\"label\":\"avg\",\"rule\":\"TESTCONN\",\"text\":"
            "\"ORA-20001: under review\"}\n"
            "{\"id\":\"T2\",\"line\":3,\"label\":\"avg\",\"rule\":\"TESTCONN\",\"text\":"
            "\"ORA-20001: under review\",\"value\":\"100\"}\n"
            "{\"id\":\"T2\",\"line\":3,\"label\":\"avg\",\"rule\":\"TESTCONN\",\"text\":"
            "\"ORA-20001: under review\",\"value\":\"900\"}\n");
}

TEST_F(ScreenTest, OpensASessionPerWorkerAndRefusesWhenTheServerHasTooFew) {
  options_.transactions = Write("t.csv", "id,account,amount\nT1,A,500\nT2,A,5\n");
  options_.rules = Write("r.conf", "avg txscreen TESTCONN amount account\n");
  ocisim_set_server_model("db", 0, 2);
  options_.threads = 2;
  ASSERT_EQ(Run(), txhost::kExitOk) << err_;
  EXPECT_EQ(ReadFile(options_.out), "id,avg\nT1,1\nT2,0\n");
  options_.threads = 3;
  EXPECT_EQ(Run(), txhost::kExitUsage);
  EXPECT_NE(err_.find("session 3 of 3 (one per worker, --threads): cannot log in to db as u: "
                      "ORA-00018: maximum number of sessions exceeded"),
            std::string::npos)
      << err_;
  EXPECT_EQ(ReadFile(options_.out), "id,avg\nT1,1\nT2,0\n") << "the earlier results stay";
  EXPECT_EQ(ocisim_live_handles(0), 0u) << "the sessions that were opened are closed";

  // The workers' logins go to the server at once: their round trips overlap.
  ocisim_set_server_model("db", 2000, 8);
  std::string error;
  auto pool = txhost::SessionPool::Open({"u", "p", "db", true}, 8, &error);
  ASSERT_TRUE(pool) << error;
  EXPECT_GE(ocisim_most_round_trips_at_once("db"), 3u);
  EXPECT_EQ(std::set<OCISvcCtx*>({pool->handles()[0].svc, pool->handles()[7].svc}).size(), 2u);
  pool.reset();
  EXPECT_EQ(ocisim_live_handles(0), 0u);

  // 300 rows that each wait a round trip: every one of 8 workers screens some of them.
  std::string csv = "id,account,amount\n";
  for (int i = 0; i < 300; ++i) csv += "T" + std::to_string(i) + ",A," + std::to_string(i) + "\n";
  options_.transactions = Write("t.csv", csv);
  ocisim_set_server_model("db", 1000, 8);
  options_.threads = 8;
  stand_in_.StartLog();
  ASSERT_EQ(Run(), txhost::kExitOk) << err_;
  std::set<std::string> sessions;
  char text[256];
  for (size_t call = 0; call < ocisim_logged_call_count(); ++call) {
    ocisim_call_function(call, text, sizeof text);
    if (std::string(text) != "OCIStmtExecute") continue;
    for (size_t arg = 0; arg < ocisim_call_arg_count(call); ++arg) {
      ocisim_call_arg_name(call, arg, text, sizeof text);
      if (std::string(text) != "svchp") continue;
      ocisim_call_arg_value(call, arg, text, sizeof text);
      sessions.insert(text);
    }
  }
  EXPECT_EQ(sessions.size(), 8u) << "workers that screened rows";
}

// A kept pool that answered a moment ago is alive without a round trip; one idle for longer is
// pinged, and one whose run found a session lost is opened anew without asking.
TEST_F(ScreenTest, AKeptPoolPingsOnlyOnceItHasBeenIdle) {
  std::string error;
  auto pool = txhost::SessionPool::Open({"u", "p", "db", true}, 2, &error);
  ASSERT_TRUE(pool) << error;
  auto pings = [] {
    size_t count = 0;
    char function[64];
    for (size_t call = 0; call < ocisim_logged_call_count(); ++call) {
      ocisim_call_function(call, function, sizeof function);
      count += std::string(function) == "OCIPing";
    }
    return count;
  };
  stand_in_.StartLog();
  EXPECT_TRUE(pool->Alive());
  pool->RunEnded(false);
  EXPECT_TRUE(pool->Alive());
  EXPECT_EQ(pings(), 0u) << "the logins and the run have just answered";

  std::this_thread::sleep_for(txhost::SessionPool::kTrustedAfterAnswer +
                              std::chrono::milliseconds(100));
  EXPECT_TRUE(pool->Alive());
  EXPECT_EQ(pings(), 2u) << "one round trip per session after the pool was idle";
  EXPECT_TRUE(pool->Alive());
  EXPECT_EQ(pings(), 2u) << "the ping has just answered";

  std::this_thread::sleep_for(txhost::SessionPool::kTrustedAfterAnswer +
                              std::chrono::milliseconds(100));
  ocisim_fail_call("OCIPing", 2, OCI_ERROR, "ORA-03114: not connected to ORACLE");
  EXPECT_FALSE(pool->Alive()) << "the second session no longer answers";
  EXPECT_EQ(ocisim_pending_faults(), 0u);

  auto used = txhost::SessionPool::Open({"u", "p", "db", true}, 1, &error);
  ASSERT_TRUE(used) << error;
  used->RunEnded(true);
  const size_t before = pings();
  EXPECT_FALSE(used->Alive()) << "a run found its session lost";
  EXPECT_EQ(pings(), before);
}

TEST_F(ScreenTest, RefusesUnusableInputWithItsReason) {
  options_.rules = Write("r.conf", "x txscreen BADACCOUNT id id\n");
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "t.csv: empty, no header line"},
      {"\n\n", "t.csv: empty, no header line"},
      {"id,id\n1,2\n", "t.csv:1: header: column id appears twice"},
      {"id,,x\n1,2,3\n", "t.csv:1: header: column 2 has no name"},
      {",id,x\n0,2,3\n", "t.csv:1: header: column 1 has no name: a file written with its index"},
      {"account\nA\n", "t.csv: header: no id column id"},
      {"id,\"open\n", "t.csv:1: header: a quoted field is not closed"},
  };
  for (const Case& c : cases) {
    options_.transactions = Write("t.csv", c.text);
    EXPECT_EQ(Run(), txhost::kExitUsage) << c.text;
    EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
  }
  options_.transactions = Path("does-not-exist.csv");
  EXPECT_EQ(Run(), txhost::kExitUsage);
  EXPECT_NE(err_.find("does-not-exist.csv: No such file or directory"), std::string::npos) << err_;
  options_.transactions = dir_;
  EXPECT_EQ(Run(), txhost::kExitUsage);
  EXPECT_NE(err_.find(dir_ + ": Is a directory"), std::string::npos) << err_;
}

// The console table keeps its columns whatever the labels' lengths.
TEST_F(ScreenTest, TheConsoleSummaryKeepsItsColumnsForAnyLabel) {
  options_.transactions = Write("t.csv", "id,amount\nT1,9\n");
  const std::string long_label(60, 'l');
  options_.rules = Write("r.conf", long_label +
                                       " txscreen OVERCREDITLIMIT amount 5\n"
                                       "b txscreen OVERCREDITLIMIT amount 50\n");
  ASSERT_EQ(Run(), txhost::kExitOk) << err_;
  std::istringstream lines(err_);
  std::vector<size_t> rule_columns;
  for (std::string line; std::getline(lines, line);) {
    for (const char* start : {"check ", "b ", "lll"}) {
      if (line.rfind(start, 0) == 0)
        rule_columns.push_back(line.find_first_not_of(' ', line.find(' ')));
    }
  }
  ASSERT_EQ(rule_columns.size(), 3u) << err_;
  EXPECT_EQ(rule_columns[0], long_label.size() + 1) << err_;
  EXPECT_EQ(rule_columns[1], rule_columns[0]) << err_;
  EXPECT_EQ(rule_columns[2], rule_columns[0]) << err_;
}

}  // namespace
