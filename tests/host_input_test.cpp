// What the host reads: CSV records, argument values and rule-set lines, good and bad.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "csv.h"
#include "json_line.h"
#include "rule_set.h"
#include "rule_words.h"
#include "values.h"

namespace {

using Strings = std::vector<std::string>;

std::vector<txhost::OwnedRecord> ReadAll(const std::string& text) {
  std::istringstream in(text);
  txhost::CsvReader reader(in);
  std::vector<txhost::OwnedRecord> records;
  txhost::CsvRecord record;
  while (reader.Next(&record)) {
    records.push_back({{record.fields.begin(), record.fields.end()}, record.line, record.error});
  }
  return records;
}

TEST(CsvReaderTest, ReadsRfc4180Records) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<Strings> records;
    std::vector<size_t> lines;
  } cases[] = {
      {"plain", "a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}, {1, 2}},
      {"CRLF and no final line end", "a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}, {1, 2}},
      {"quoted comma, quote and line break",
       "x,\"a,\"\"b\"\"\r\nc\"\n2,3\n",
       {{"x", "a,\"b\"\r\nc"}, {"2", "3"}},
       {1, 3}},
      {"byte-order mark", "\xEF\xBB\xBFid,v\n", {{"id", "v"}}, {1}},
      // Found by fuzzing: a first field that only starts like a byte-order mark lost its bytes.
      {"bytes like a byte-order mark", "\xEF\xBB,v\n", {{"\xEF\xBB", "v"}}, {1}},
      {"empty lines and empty fields", "\n\na,,\n\r\n,\n", {{"a", "", ""}, {"", ""}}, {3, 5}},
      {"empty quoted field", "\"\",x\n", {{"", "x"}}, {1}},
  };
  for (const Case& c : cases) {
    auto records = ReadAll(c.text);
    ASSERT_EQ(records.size(), c.records.size()) << c.what;
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].fields, c.records[i]) << c.what;
      EXPECT_EQ(records[i].line, c.lines[i]) << c.what;
      EXPECT_EQ(records[i].error, "") << c.what;
    }
  }
}

TEST(CsvReaderTest, NamesWhatIsWrongWithAMalformedRecordAndGoesOn) {
  struct Case {
    std::string text;
    const char* error;
    size_t records;
  } cases[] = {
      {"a,\"open\n1,2\n", "a quoted field is not closed before the end of the file", 1},
      {"a,\"b\"c,d\n1,2\n", "text follows a closing quote", 2},
      {"a,b\"c\n1,2\n", "a quote inside an unquoted field", 2},
  };
  for (const Case& c : cases) {
    auto records = ReadAll(c.text);
    ASSERT_EQ(records.size(), c.records) << c.text;
    EXPECT_EQ(records[0].error, c.error) << c.text;
    if (c.records > 1) {
      EXPECT_EQ(records[1].fields, (Strings{"1", "2"})) << c.text;
    }
  }
  EXPECT_EQ(txhost::CsvField("M-0077 \"Corner, Shop\""), "\"M-0077 \"\"Corner, Shop\"\"\"");
  EXPECT_EQ(txhost::CsvField("plain"), "plain");
  // Found by fuzzing: written unquoted first in a file, these bytes would be read as its mark.
  EXPECT_EQ(txhost::CsvField("\xEF\xBB\xBFid"), "\"\xEF\xBB\xBFid\"");
}

TEST(ValuesTest, ReadsOnlyFiniteAmountsAndCalendarDates) {
  struct AmountCase {
    const char* text;
    bool ok;
    float value;
  } amounts[] = {
      {"12.50", true, 12.5f}, {"-3", true, -3.f},      {"+7", true, 7.f},  {"1e3", true, 1000.f},
      {"", false, 0},         {"12,5", false, 0},      {"NaN", false, 0},  {"nan", false, 0},
      {"inf", false, 0},      {"-Infinity", false, 0}, {"1e39", false, 0}, {"12.5x", false, 0},
      {" 12", false, 0},      {"+-500", false, 0},     {"++5", false, 0},  {"+", false, 0},
      {"-+5", false, 0},
  };
  for (const AmountCase& c : amounts) {
    float value = 0;
    std::string error;
    EXPECT_EQ(txhost::ParseAmount(c.text, &value, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    } else {
      EXPECT_FALSE(error.empty()) << c.text;
    }
  }
  // Every amount reads as the float that from_chars gives, bit for bit, however it is read.
  std::mt19937 random(11);
  auto bits = [](float value) {
    uint32_t image;
    std::memcpy(&image, &value, sizeof image);
    return image;
  };
  std::vector<std::string> texts = {"-0",        "0.5",      ".5",        "5.",
                                    "9999999",   "999999.9", "0.1",       "16777217",
                                    "1.0000001", "-12.34",   "0.0000001", "3.4028235"};
  for (int i = 0; i < 200000; ++i) {
    std::string digits = std::to_string(random() % 100000000);
    digits.insert(random() % (digits.size() + 1), ".");
    texts.push_back((i % 7 == 0 ? "-" : "") + digits);
  }
  for (const std::string& text : texts) {
    float expected = 0, value = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    std::string error;
    ASSERT_TRUE(txhost::ParseAmount(text, &value, &error)) << text;
    ASSERT_EQ(bits(value), bits(expected)) << text;
  }
  for (const char* date : {"2026-12-07", "2024-02-29", "0001-01-01", "9999-12-31"}) {
    OCIDate parsed;
    std::string error;
    EXPECT_TRUE(txhost::ParseDate(date, &parsed, &error)) << date;
    EXPECT_EQ(txhost::ValueText(txhost::ParamKind::kDate, txhost::Value{"", 0, parsed}), date);
  }
  for (const char* date : {"2026-02-30", "0000-00-00", "2025-02-29", "2026-13-01", "2026-1-01",
                           "26-12-07", "2026/12/07", ""}) {
    OCIDate parsed;
    std::string error;
    EXPECT_FALSE(txhost::ParseDate(date, &parsed, &error)) << date;
  }
}

// Explain and alert lines keep every byte: what is not UTF-8 becomes \udcXX, which a reader
// turns back into the byte.
TEST(JsonLineTest, WritesTextsExactlyWhateverTheirBytes) {
  struct Case {
    std::string bytes;
    std::string json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\n\t\x01", "\"\\n\\t\\u0001\""},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"\xff\xfeT1", "\"\\udcff\\udcfeT1\""},
      {"cut \xc3", "\"cut \\udcc3\""},
      {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},  // a UTF-16 surrogate is not UTF-8
      {"\xc0\xaf", "\"\\udcc0\\udcaf\""},             // nor is an overlong form
      {std::string("a\0b", 3), "\"a\\u0000b\""},
  };
  for (const Case& c : cases) EXPECT_EQ(txhost::JsonString(c.bytes), c.json) << c.bytes;
}

TEST(RuleSetTest, ReadsASweepAsARangeOrAListAndNamesWhatIsWrong) {
  struct Case {
    const char* set;
    txhost::ParamKind kind;
    Strings texts;       // the values, when the set is good
    const char* reason;  // otherwise
  } cases[] = {
      {"[100..400 step 100]", txhost::ParamKind::kAmount, {"100", "200", "300", "400"}, ""},
      {"[1..0 step -0.5]", txhost::ParamKind::kAmount, {"1", "0.5", "0"}, ""},
      // One value: FROM is TO, whichever way the step points.
      {"[5..5 step -1]", txhost::ParamKind::kAmount, {"5"}, ""},
      {"[5..5 step 2.5]", txhost::ParamKind::kAmount, {"5"}, ""},
      {"[-2.5..-7.5 step -2.5]", txhost::ParamKind::kAmount, {"-2.5", "-5", "-7.5"}, ""},
      // Counted in decimal: the end is reached exactly, and each value reads as it is written.
      {"[0.1..0.7 step 0.1]",
       txhost::ParamKind::kAmount,
       {"0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7"},
       ""},
      {"[1.9..2.1 step 0.1]", txhost::ParamKind::kAmount, {"1.9", "2", "2.1"}, ""},
      {"[1..2 step 0.3]", txhost::ParamKind::kAmount, {"1", "1.3", "1.6", "1.9"}, ""},
      {"[400.0, 250]", txhost::ParamKind::kAmount, {"400.0", "250"}, ""},
      {"[1e3..2e3 step 1]", txhost::ParamKind::kAmount, {}, "with three decimal numbers"},
      {"[ \"SAT\", \"S,U N\" ]", txhost::ParamKind::kText, {"SAT", "S,U N"}, ""},
      {"[2026-12-01, 2026-12-07]", txhost::ParamKind::kDate, {"2026-12-01", "2026-12-07"}, ""},
      {"[100..400 step -1]", txhost::ParamKind::kAmount, {}, "the step must lead from FROM to TO"},
      {"[100..400 step 0]", txhost::ParamKind::kAmount, {}, "the step must lead from FROM to TO"},
      {"[1..2]", txhost::ParamKind::kAmount, {}, "a range is written FROM..TO step STEP"},
      {"[1..100000 step 1]", txhost::ParamKind::kAmount, {}, "a sweep has at most 10000 values"},
      // Tabs separate words inside a range too.
      {"[100..200\tstep\t100]", txhost::ParamKind::kAmount, {"100", "200"}, ""},
      // Counted at the step's precision, the ends no longer fit: refused, never one value.
      {"[0..562949953421312 step .000000000000001]",
       txhost::ParamKind::kAmount,
       {},
       "the range cannot be counted"},
      {"[-5000..5000 step .000000000000001]",
       txhost::ParamKind::kAmount,
       {},
       "the range cannot be counted"},
      {"[a..b step 1]", txhost::ParamKind::kDate, {}, "a range sweeps an amount"},
      {"[250, ten]", txhost::ParamKind::kAmount, {}, "\"ten\" is not a number"},
      {"[1,,2]", txhost::ParamKind::kAmount, {}, "\"\" is empty"},
      {"[]", txhost::ParamKind::kText, {}, "the set [] is empty"},
  };
  for (const Case& c : cases) {
    txhost::Sweep sweep;
    std::string problem;
    bool ok = txhost::ParseSweep(c.set, c.kind, &sweep, &problem);
    EXPECT_EQ(ok, c.texts.size() > 0) << c.set << ": " << problem;
    EXPECT_EQ(sweep.texts, c.texts) << c.set;
    EXPECT_NE(problem.find(c.reason), std::string::npos) << c.set << ": " << problem;
  }
  Strings words;
  ASSERT_TRUE(txhost::SplitRuleLine("t txscreen R amount 400 in [\"a]\", 5] # c", &words));
  EXPECT_EQ(words, (Strings{"t", "txscreen", "R", "amount", "400", "in", "[\"a]\", 5]"}));
  EXPECT_FALSE(txhost::SplitRuleLine("t txscreen R amount 400 in [1, 2", &words));
}

TEST(RuleSetTest, SplitsWordsKeepsQuotesAndDropsComments) {
  const struct {
    const char* line;
    Strings words;
  } cases[] = {
      {"sun  txscreen TESTDATE \"S \"\"U\"\" N\" date # note",
       {"sun", "txscreen", "TESTDATE", "\"S \"\"U\"\" N\"", "date"}},
      // A '#' outside quotes starts a comment wherever it is, after a bare word too.
      {"a txscreen OVERCREDITLIMIT amount 400#note",
       {"a", "txscreen", "OVERCREDITLIMIT", "amount", "400"}},
      {"a x Y 1 score 5#note", {"a", "x", "Y", "1", "score", "5"}},
      {"a x Y \"ACC#1\"#note", {"a", "x", "Y", "\"ACC#1\""}},
      {"a x Y `col #1` `a``b`", {"a", "x", "Y", "`col #1`", "`a``b`"}},
      {"a x Y @\"my lists/l.txt\" @l.txt", {"a", "x", "Y", "@\"my lists/l.txt\"", "@l.txt"}},
  };
  for (const auto& c : cases) {
    Strings words;
    ASSERT_TRUE(txhost::SplitRuleLine(c.line, &words)) << c.line;
    EXPECT_EQ(words, c.words) << c.line;
  }
  Strings words;
  EXPECT_FALSE(txhost::SplitRuleLine("x txscreen BADACCOUNT \"open", &words));
  EXPECT_FALSE(txhost::SplitRuleLine("x txscreen BADACCOUNT `open", &words));
}

// Lines end at LF, CRLF or a lone CR; a refused label or a sum of scores too large to count
// says what is wrong with it.
TEST(RuleSetTest, ReadsEveryLineEndAndNamesWhatIsWrong) {
  const Strings header = {"id", "amount", "limit"};
  for (const char* end : {"\n", "\r\n", "\r"}) {
    const std::string text = std::string("a txscreen OVERCREDITLIMIT amount limit score 5") + end +
                             "b txscreen OVERCREDITLIMIT amount 400 score 7" + end + end +
                             "outcome approve" + end + "outcome review from 6";
    std::istringstream in(text);
    Strings problems;
    txhost::Decisions decisions;
    auto checks = txhost::ParseRuleSet(in, "set", header, &problems, &decisions);
    EXPECT_EQ(problems, Strings{}) << "end " << static_cast<int>(end[0]);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1].line, 2u);
    EXPECT_EQ(decisions.outcomes.size(), 2u);
  }
  std::istringstream in(
      "caf\xc3\xa9 txscreen OVERCREDITLIMIT amount limit\n"
      "a txscreen OVERCREDITLIMIT amount limit score 999999999999999\n"
      "b txscreen OVERCREDITLIMIT amount 1 score 0.001\n"
      "c txscreen OVERCREDITLIMIT amount 2 score 999999999999999\n");
  Strings problems;
  txhost::ParseRuleSet(in, "set", header, &problems);
  EXPECT_EQ(problems,
            (Strings{"set:1: the label \"caf\xc3\xa9\" is not a plain name (ASCII letters, digits, "
                     "'_', '-' and '.'; it names a column of the results)",
                     "set:4: with the score 999999999999999, the scores' sum can pass 18 digits at "
                     "the finest precision of the set's scores and thresholds, and could not be "
                     "counted exactly"}));
}

}  // namespace
