// Hostile input to the screening host: broken files, odd bytes, huge fields, and library
// directories that hold the wrong things. Every usable row is screened once, every other row is
// rejected with its line and reason, and unusable input stops the run with a non-zero status.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "csv.h"
#include "dynamic_library.h"
#include "exit_status.h"
#include "library_set.h"
#include "make_directory.h"
#include "ocisim.h"
#include "rule_set.h"
#include "screen_command.h"
#include "stand_in.h"
#include "temp_files.h"

namespace {

using Strings = std::vector<std::string>;

using testing_support::ReadFile;
using testing_support::TempPath;
using testing_support::WriteTemp;

Strings Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Strings lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The last field of each rejected row, which the host writes as CSV too.
Strings RejectReasons(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  txhost::CsvReader reader(in);
  txhost::CsvRecord record;
  Strings reasons;
  reader.Next(&record);  // the header
  while (reader.Next(&record)) reasons.emplace_back(record.fields.back());
  return reasons;
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ocisim_define_database("db");
    ocisim_add_user("db", "u", "p");
    options_.library_directory = txhost::DynamicLibrary::ProgramDirectory();
    options_.connect = "u/p@db";
    options_.out = TempPath("out.csv");
    options_.rejects = TempPath("rejects.csv");
    options_.explain = TempPath("explain.jsonl");
    options_.rules = WriteTemp("rules.conf",
                               "bad txscreen BADACCOUNT account \"ACC-6661\"\n"
                               "over txscreen OVERCREDITLIMIT amount 100\n"
                               "mon txscreen TESTDATE \"MON\" date\n");
  }

  testing_support::ScopedStandIn stand_in_;
  txhost::ScreenOptions options_;
};

TEST_F(HostileInputTest, ScreensEveryUsableRowAndRejectsTheRestWithLineAndReason) {
  const std::string mega(1 << 20, 'x');
  struct Case {
    const char* what;
    std::string body;  // after the header "id,account,amount,date"
    Strings output;    // rows after the output header
    Strings reasons;   // the rejects' reasons, in order
  } cases[] = {
      {"header only", "", {}, {}},
      {"missing and extra fields",
       "T1,ACC-6661,5\nT2,ACC-6661,5,2026-12-07,extra\n",
       {},
       {"expected 4 fields, found 3", "expected 4 fields, found 5"}},
      {"quoted commas, quotes and line breaks",
       "\"T,1\",\"ACC-6661\",\"150\",2026-12-07\n\"T\"\"2\",\"AC\nC\",5,2026-12-08\n",
       {"\"T,1\",1,1,1", "\"T\"\"2\",0,0,0"},
       {}},
      {"CRLF line ends",
       "T1,ACC-6661,5,2026-12-07\r\nT2,x,500,2026-12-07\r\n",
       {"T1,1,0,1", "T2,0,1,1"},
       {}},
      {"invalid dates",
       "T1,A,5,2026-02-30\nT2,A,5,0000-00-00\nT3,A,5,2026-12-07\n",
       {"T3,0,0,1"},
       {"column date: \"2026-02-30\" is not a calendar date",
        "column date: \"0000-00-00\" is not a calendar date"}},
      {"amounts no transaction carries",
       "T1,A,1e39,2026-12-07\nT2,A,NaN,2026-12-07\nT3,A,inf,2026-12-07\nT4,A,-inf,2026-12-07\n",
       {},
       {"column amount: \"1e39\" does not fit a float", "column amount: \"NaN\" is not a number",
        "column amount: \"inf\" does not fit a float",
        "column amount: \"-inf\" does not fit a float"}},
      {"a 1 MB field",
       "T1," + mega + ",5,2026-12-07\nT2,ACC-6661,5,2026-12-07\n",
       {"T1,0,0,1", "T2,1,0,1"},
       {}},
      {"bytes that are not UTF-8", "T\xff\xfe,ACC-6661,150,2026-12-07\n", {"T\xff\xfe,1,1,1"}, {}},
      {"an unclosed quote at the end",
       "T1,A,5,2026-12-07\nT2,\"A,5,2026-12-07\n",
       {"T1,0,0,1"},
       {"a quoted field is not closed before the end of the file"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    options_.transactions = WriteTemp("t.csv", "\xEF\xBB\xBFid,account,amount,date\n" + c.body);
    options_.connect = "u/p@db";  // a run wipes it once its session has begun
    ASSERT_EQ(txhost::RunScreen(options_),
              c.reasons.empty() ? txhost::kExitOk : txhost::kExitFindings);
    Strings output = Lines(options_.out);
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(output[0], "id,bad,over,mon");
    EXPECT_EQ(Strings(output.begin() + 1, output.end()), c.output);
    EXPECT_EQ(RejectReasons(options_.rejects), c.reasons);
  }
  EXPECT_EQ(ocisim_live_handles(0), 0u);
}

TEST_F(HostileInputTest, StopsOnInputThatIsUnusableAsAWhole) {
  struct Case {
    const char* what;
    std::string text;
    std::string message;
  } cases[] = {
      {"an empty file", "", "t.csv: empty, no header line"},
      {"nothing but line breaks", "\r\n\n", "t.csv: empty, no header line"},
      {"no id column", "account,amount,date\nA,5,2026-12-07\n", "t.csv: header: no id column id"},
      {"a column the rules need is missing", "id,account,date\nT1,A,2026-12-07\n",
       "rules.conf:2: unknown column amount"},
      {"a column named twice", "id,account,account,amount,date\n",
       "t.csv:1: header: column account appears twice"},
      {"a broken header", "id,account,amount,\"date\nT1\n",
       "t.csv:1: header: a quoted field is not closed before the end of the file"},
  };
  for (const Case& c : cases) {
    options_.transactions = WriteTemp("t.csv", c.text);
    testing_support::CapturedMessages messages;
    options_.messages = messages.file();
    EXPECT_EQ(txhost::RunScreen(options_), txhost::kExitUsage) << c.what;
    options_.messages = stderr;
    std::string err = messages.Text();
    EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
  }
}

// A library directory holding what is named for the libraries but is something else.
class LibraryDirectoryTest : public HostileInputTest {
 protected:
  std::string Directory(const std::string& name, const std::string& txscreen_file_contents) {
    std::string directory = TempPath(name);
    std::remove((directory + "/" + txhost::DynamicLibrary::FileName("txscreen")).c_str());
    testing_support::MakeDirectory(directory);
    if (!txscreen_file_contents.empty()) {
      std::ofstream(directory + "/" + txhost::DynamicLibrary::FileName("txscreen"),
                    std::ios::binary)
          << txscreen_file_contents;
    }
    return directory;
  }
  Strings Problems(const std::string& directory) {
    txhost::LibrarySet libraries(directory);
    Strings problems;
    txhost::LoadRuleSet(options_.rules, {"id", "account", "amount", "date"}, libraries, &problems);
    return problems;
  }
};

TEST_F(LibraryDirectoryTest, NamesTheRuleAndTheLineWhenALibraryIsMissingWrongOrNotALibrary) {
  const std::string second =
      ReadFile(options_.library_directory + "/" + txhost::DynamicLibrary::FileName("txscreen2"));
  struct Case {
    const char* what;
    std::string contents;  // of the file named for txscreen; empty for no file
    const char* problem;
  } cases[] = {
      {"no library", "", ":1: "},
      {"a library missing the rules", second, "does not export BADACCOUNT"},
      {"a file that is not a library", "not a library at all\n", ":1: "},
  };
  options_.transactions = WriteTemp("t.csv", "id,account,amount,date\nT1,A,5,2026-12-07\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    options_.library_directory = Directory("libs", c.contents);
    Strings problems = Problems(options_.library_directory);
    ASSERT_EQ(problems.size(), 3u) << "one for each check of the file";
    EXPECT_NE(problems[0].find(options_.rules + ":1: "), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
    EXPECT_EQ(txhost::RunScreen(options_), txhost::kExitUsage);
  }
}

}  // namespace
