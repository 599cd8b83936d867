// The block reader held to the byte-at-a-time reader: the same records, fields, lines and
// reasons wherever the source's reads, the batches and the fall-back to reading byte by byte
// fall, on texts made of little but quotes, commas and line ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "byte_csv_reader.h"
#include "csv.h"
#include "read_as_a_run.h"
#include "sanitizer_build.h"

namespace {

using txhost::OwnedRecord;

std::vector<OwnedRecord> ByByte(const std::string& text) {
  txhost::ByteCsvReader reader(testing_support::SourceOver(text));
  std::vector<OwnedRecord> records;
  for (OwnedRecord record; reader.Next(&record);) records.push_back(record);
  return records;
}

// As a run reads: the first record alone, as a header is, then batches split as a worker splits
// them. Every field must be followed by the NUL that lets a rule take it where it lies.
std::vector<OwnedRecord> ByBlock(const std::string& text, std::vector<size_t> cuts,
                                 txhost::CsvReadSizes sizes, size_t spread_over = 0) {
  txhost::CsvReader reader(testing_support::SourceOver(text, std::move(cuts)), sizes);
  bool nul_ended = false;
  std::vector<OwnedRecord> records =
      testing_support::ReadAsARun(&reader, &nul_ended, spread_over, text.size());
  EXPECT_TRUE(nul_ended);
  EXPECT_EQ(reader.bytes_read(), text.size());
  return records;
}

std::string Show(const std::vector<OwnedRecord>& records) {
  std::string shown;
  for (const OwnedRecord& record : records) {
    shown += std::to_string(record.line) + ":";
    for (const std::string& field : record.fields) shown += " [" + field + "]";
    if (!record.error.empty()) shown += " (" + record.error + ")";
    shown += "\n";
  }
  return shown;
}

// Mostly the bytes that steer a reader, and some that must pass through it untouched: a
// two-byte character, a byte-order mark, a NUL.
std::string RandomText(std::mt19937& random, size_t length) {
  static const char* const kPieces[] = {"a",
                                        "b",
                                        ",",
                                        "\"",
                                        "\"\"",
                                        "\r",
                                        "\n",
                                        "\r\n",
                                        "\xC3\xA9",
                                        "\xEF\xBB\xBF",
                                        std::string(1, '\0').c_str()};
  std::string text;
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  while (text.size() < length) {
    size_t piece = pick(random);
    text += piece == std::size(kPieces) - 1 ? std::string(1, '\0') : std::string(kPieces[piece]);
  }
  return text;
}

TEST(CsvBlockReaderTest, ReadsWhatTheByteReaderReadsWhereverReadsAndBatchesEnd) {
  if (testing_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "reading is one thread's work: the native and AddressSanitizer builds run this";
  }
  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    const std::string text = RandomText(random, round % 60);
    const std::string expected = Show(ByByte(text));
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      SCOPED_TRACE(testing::PrintToString(text) + " read in two at " + std::to_string(cut));
      // Batches as small as a record, and a block that cuts every read short.
      ASSERT_EQ(Show(ByBlock(text, {cut}, {1, 1 << 20})), expected);
      ASSERT_EQ(Show(ByBlock(text, {cut, cut + 1, cut + 3}, {4, 1 << 20})), expected);
      // An unfinished record longer than 5 bytes hands the rest to the byte reader.
      ASSERT_EQ(Show(ByBlock(text, {cut}, {3, 5})), expected);
      // Batches cut at a block's worth of what is at hand, as for rules that wait on a server.
      ASSERT_EQ(Show(ByBlock(text, {cut}, {4, 1 << 20}, 3)), expected);
    }
    ASSERT_EQ(Show(ByBlock(text, {}, {})), expected);
  }
}

TEST(CsvBlockReaderTest, KeepsTheMostBytesARecordMayHoldAndRejectsItBeyond) {
  if (testing_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "reading is one thread's work: the native and AddressSanitizer builds run this";
  }
  const std::string most(txhost::kMaxRecordBytes - 1, 'x');  // and one more byte below
  struct Case {
    std::string record;
    bool too_long;
  } cases[] = {
      {"\"" + most + "\",y\n", false},
      {most + ",yz\n", true},
      {"\"" + most + "\"\"z\"\n", true},  // an escaped quote is one byte of the field
  };
  for (const Case& c : cases) {
    const std::string text = "h\n" + c.record + "after\n";
    const std::string expected = Show(ByByte(text));
    ASSERT_EQ(expected.find("(the record is longer than 16 MiB)") != std::string::npos, c.too_long);
    ASSERT_NE(expected.find("\n3: [after]"), std::string::npos);
    EXPECT_EQ(Show(ByBlock(text, {}, {})), expected);
    EXPECT_EQ(Show(ByBlock(text, {}, {1 << 16, 1 << 20})), expected) << "handed to the byte reader";
  }
}

TEST(CsvBlockReaderTest, FindsTheSameBytesWithVectorCompareAsWithATable) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  char block[64];
  for (int round = 0; round < 10000; ++round) {
    for (char& c : block)
      c = static_cast<char>(round % 2 ? byte(random) : ",\"\r\nab"[byte(random) % 6]);
    ASSERT_EQ(txhost::SpecialByteMask(block), txhost::SpecialByteMaskPortable(block));
  }
}

}  // namespace
