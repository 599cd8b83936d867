// `txhost screen` end to end: the rule set checked before any row, rejected rows reported and
// kept, the output in input order on any number of threads, and the backtest figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dynamic_library.h"
#include "ocisim.h"
#include "rule_set.h"
#include "screen_command.h"
#include "temp_files.h"

namespace {

using Strings = std::vector<std::string>;

using testing_support::ReadFile;
using testing_support::TempPath;
using testing_support::WriteTemp;

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ocisim_reset();
    ocisim_define_database("db");
    ocisim_add_user("db", "u", "p");
    ocisim_add_history("db", "A", 100);
    options_.library_directory = txhost::DynamicLibrary::ProgramDirectory();
    options_.connect = "u/p@db";
    options_.out = TempPath("out.csv");
    options_.rejects = TempPath("rejects.csv");
  }
  void TearDown() override { ocisim_reset(); }

  txhost::ScreenOptions options_;
};

TEST_F(ScreenTest, ChecksTheWholeRuleSetBeforeScreening) {
  options_.transactions = WriteTemp("t.csv", "id,amount,date\nT1,5,2026-12-07\n");
  options_.rules = WriteTemp("bad.conf",
                             "ok txscreen OVERCREDITLIMIT amount 3\n"
                             "a txnowhere BADACCOUNT id id\n"
                             "b txscreen NOSUCHRULE id\n"
                             "c txscreen BADACCOUNT id\n"
                             "d txscreen BADACCOUNT id acount\n"
                             "e txscreen OVERCREDITLIMIT amount \"ten\"\n"
                             "ok txscreen TESTDATE \"MON\" 2026-02-30\n");
  std::remove(options_.out.c_str());
  EXPECT_EQ(txhost::RunScreen(options_), 1);
  EXPECT_EQ(ReadFile(options_.out), "") << "no row screened";

  txhost::LibrarySet libraries(options_.library_directory);
  Strings problems;
  txhost::LoadRuleSet(options_.rules, {"id", "amount", "date"}, libraries, &problems);
  const std::string at = options_.rules + ":";
  EXPECT_EQ(problems,
            (Strings{
                at + "2: unknown library txnowhere",
                at + "3: txscreen has no rule NOSUCHRULE",
                at + "4: BADACCOUNT takes 2 arguments (text, text), not 1",
                at + "5: unknown column acount",
                at + "6: argument 2 of OVERCREDITLIMIT is amount, but \"ten\" is not a number",
                at + "7: the label ok is used twice",
                at + "7: argument 2 of TESTDATE is date, but \"2026-02-30\" is not a "
                     "calendar date",
            }));
}

TEST_F(ScreenTest, ReportsAndKeepsRejectedRowsAndScreensTheRestInOrder) {
  std::string csv = "id,account,amount,date,fraud\n";
  for (int i = 0; i < 9000; ++i) {
    csv += "T" + std::to_string(i) + ",A," + std::to_string(50 + i % 100) + ",2026-12-07," +
           std::to_string(i % 100 >= 50) + "\n";
  }
  csv += "BAD1,A,abc,2026-12-07,0\nBAD2,A,5\nBAD3,A,5,2026-02-30,0\nBAD4,A,5,2026-12-07,x\n";
  options_.transactions = WriteTemp("t.csv", csv);
  options_.rules = WriteTemp("r.conf",
                             "avg txscreen TESTCONN amount account\n"
                             "mon txscreen TESTDATE \"MON\" date\n");
  options_.label_column = "fraud";
  std::string expected = "id,avg,mon\n";
  for (int i = 0; i < 9000; ++i) {
    expected += "T" + std::to_string(i) + (50 + i % 100 > 100 ? ",1,1\n" : ",0,1\n");
  }
  for (unsigned threads : {1u, 3u}) {
    options_.threads = threads;
    ASSERT_EQ(txhost::RunScreen(options_), 0);
    EXPECT_EQ(ReadFile(options_.out), expected) << threads << " threads";
  }
  EXPECT_EQ(
      ReadFile(options_.rejects),
      "id,account,amount,date,fraud,_line,_reason\n"
      "BAD1,A,abc,2026-12-07,0,9002,\"column amount: \"\"abc\"\" is not a number\"\n"
      "BAD2,A,5,9003,\"expected 5 fields, found 3\"\n"
      "BAD3,A,5,2026-02-30,0,9004,\"column date: \"\"2026-02-30\"\" is not a calendar date\"\n"
      "BAD4,A,5,2026-12-07,x,9005,\"column fraud: \"\"x\"\" is not 0 or 1\"\n");
  EXPECT_EQ(ocisim_live_handles(0), 0u) << "the session is closed at the end";
}

TEST_F(ScreenTest, RefusesUnusableInput) {
  options_.rules = WriteTemp("r.conf", "x txscreen BADACCOUNT id id\n");
  for (const char* text : {"", "\n\n", "id,id\n1,2\n", "account\nA\n", "id,\"open\n"}) {
    options_.transactions = WriteTemp("t.csv", text);
    EXPECT_EQ(txhost::RunScreen(options_), 1) << "\"" << text << "\"";
  }
  options_.transactions = TempPath("does-not-exist.csv");
  EXPECT_EQ(txhost::RunScreen(options_), 1);
}

}  // namespace
