// Screening read in parallel, a batch of whole records per worker, gives what screening read
// byte by byte on one worker gives: the same results, rejects, explain lines and summary, in
// input order with exact lines, on any number of workers and wherever reads and batches end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "byte_csv_reader.h"
#include "csv.h"
#include "dynamic_library.h"
#include "memory_sink.h"
#include "read_as_a_run.h"
#include "sanitizer_build.h"
#include "screen_run.h"
#include "session_pool.h"

namespace {

// The reference: records read byte by byte, on the thread that reads.
class ByteReaderSource : public txhost::RowSource {
 public:
  explicit ByteReaderSource(const std::string& text) : reader_(testing_support::SourceOver(text)) {}

  bool Read(txhost::RowBatch* batch) override {
    batch->Clear();
    std::vector<txhost::OwnedRecord> records(100);
    size_t count = 0, bytes = 0;
    while (count < records.size() && reader_.Next(&records[count])) {
      for (const std::string& field : records[count].fields) bytes += field.size() + 1;
      ++count;
    }
    batch->text.resize(bytes + 1);
    char* at = batch->text.data();
    for (size_t i = 0; i < count; ++i) {
      txhost::CsvRecord& record = batch->Append();
      record.line = records[i].line;
      record.error = records[i].error;
      for (const std::string& field : records[i].fields) {
        std::memcpy(at, field.c_str(), field.size() + 1);
        record.fields.emplace_back(at, field.size());
        at += field.size() + 1;
      }
    }
    return count > 0;
  }

 private:
  txhost::ByteCsvReader reader_;
};

constexpr char kRules[] =
    "sharp txscreen SHARPINCREASE amount previous_amount 400\n"
    "bad txscreen BADACCOUNT account \"ACC-6661\"\n"
    "zip txscreen2 SAMEZIPCODE billing_zip shipping_zip channel\n";

// Everything a run gives, as one text.
const std::vector<std::string> kHeader = {"id",   "amount",      "previous_amount", "account",
                                          "note", "billing_zip", "shipping_zip",    "channel"};

std::string Screen(std::unique_ptr<txhost::RowSource> source, unsigned workers, bool explain = true,
                   const std::vector<std::string>& header = kHeader) {
  auto rules =
      txhost::RuleSet::FromText("rules.conf", kRules, txhost::DynamicLibrary::ProgramDirectory());
  std::vector<std::string> problems;
  txhost::ScreenPlan plan;
  plan.checks = rules->Bind(header, &problems);
  plan.settings.explain = explain;
  EXPECT_EQ(problems, std::vector<std::string>());
  std::string error;
  auto input = txhost::OpenRowInput("t.csv", header, std::move(source), "id", "", &error);
  EXPECT_TRUE(input) << error;
  txhost::SessionPool pool(workers);
  txhost::MemorySink sink(plan.checks.size(), input->id_column, true);
  txhost::ScreenSummary summary("t.csv", "rules.conf", plan.checks, false, false);
  txhost::RunObserver observer;
  auto outcome = txhost::ScreenRows(plan, *input, rules->libraries(), pool.handles(), sink,
                                    observer, &summary);
  EXPECT_EQ(outcome.end, txhost::RunEnd::kCompleted);
  std::string all;
  for (size_t row = 0; row < sink.lines().size(); ++row) {
    all += std::to_string(sink.lines()[row]) + " " + sink.ids()[row];
    for (const auto& fired : sink.fired()) all += fired[row] ? " 1" : " 0";
    all += "\n";
  }
  for (const txhost::MemoryReject& reject : sink.rejects()) {
    all += std::to_string(reject.line) + " rejected: " + reject.reason + "\n";
    for (const std::string& field : reject.fields) all += " [" + field + "]";
    all += "\n";
  }
  std::string totals = txhost::SummaryText(summary);
  totals.erase(totals.find(" in "), totals.find('\n') - totals.find(" in "));  // the timing
  return all + sink.explanations() + totals;
}

// Rows whose quoted notes hold commas, quotes, CRLF and LF and a two-byte character, with CRLF
// or LF line ends, and now and then a row that must be rejected.
std::string Transactions(size_t rows, unsigned seed) {
  std::mt19937 random(seed);
  static const char* const kNotes[] = {
      "plain",         "\"a, b\"",    "\"say \"\"hi\"\"\"",   "\"two\r\nlines\"",
      "\"one\nmore\"", "caf\xC3\xA9", "\"\xC3\xA9,\xC3\xA9\""};
  static const char* const kMalformed[] = {"\"open\" x", "sto\"ck", "\"fine\"\"\""};
  std::string text;
  for (size_t i = 0; i < rows; ++i) {
    unsigned pick = random();
    const char* note = i % 97 == 5 ? kMalformed[pick % 3] : kNotes[pick % 7];
    std::string amount = i % 89 == 7 ? "abc" : std::to_string(pick % 1000) + ".5";
    text += "T" + std::to_string(i) + "," + amount + "," + std::to_string(pick / 7 % 600) +
            (pick % 5 == 0 ? ",ACC-6661," : ",ACC-1,") + note +
            (i % 83 == 3 ? "" : ",12345,1234" + std::to_string(pick % 2 * 5) + ",internet") +
            (pick % 3 == 0 ? "\r\n" : "\n");
  }
  return text;
}

TEST(ParallelReadingTest, GivesWhatReadingByteByByteGivesWhereverBatchesEnd) {
  const std::string text = Transactions(100, 1);
  const std::string expected = Screen(std::make_unique<ByteReaderSource>(text), 1);
  ASSERT_NE(expected.find("rejected: column amount"), std::string::npos);
  for (size_t cut = 1; cut <= 64; ++cut) {
    SCOPED_TRACE("reads and batches of at most " + std::to_string(cut) + " bytes");
    auto source = std::make_unique<txhost::CsvReader>(testing_support::SourceOver(text, {}, cut),
                                                      txhost::CsvReadSizes{cut, 1 << 20});
    ASSERT_EQ(Screen(std::move(source), 1 + cut % 3), expected);
  }
}

TEST(ParallelReadingTest, TheSampleGivesTheSameOnAnyNumberOfWorkers) {
  std::ifstream in(TXSCREEN_SOURCE_DIR "/examples/transactions.csv", std::ios::binary);
  std::string header_line;
  std::getline(in, header_line);
  std::vector<std::string> header;
  for (size_t at = 0, end; at <= header_line.size(); at = end + 1) {
    end = std::min(header_line.find(',', at), header_line.size());
    header.push_back(header_line.substr(at, end - at));
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string expected = Screen(std::make_unique<ByteReaderSource>(text), 1, true, header);
  ASSERT_NE(expected.find("rows read"), std::string::npos);
  for (size_t cut : {size_t{97}, size_t{1000}, text.size()}) {
    SCOPED_TRACE("reads and batches of at most " + std::to_string(cut) + " bytes");
    auto source = std::make_unique<txhost::CsvReader>(testing_support::SourceOver(text, {}, cut),
                                                      txhost::CsvReadSizes{cut, 1 << 20});
    EXPECT_EQ(Screen(std::move(source), 3, true, header), expected);
  }
}

// A tenth of the rows under a sanitizer: some 5 MB, still several 1 MiB reads for three workers
// and over a thousand batches of 4 KiB.
TEST(ParallelReadingTest, AMillionRowsGiveTheSameOnOneWorkerAsOnThree) {
  const size_t rows = testing_support::kUnderSanitizer ? 100000 : 1000000;
  const std::string text = Transactions(rows, 2);
  const std::string expected = Screen(std::make_unique<ByteReaderSource>(text), 1, false);
  for (unsigned workers : {1u, 3u}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    auto source =
        std::make_unique<txhost::CsvReader>(testing_support::SourceOver(text, {}, 1 << 20));
    EXPECT_TRUE(Screen(std::move(source), workers, false) == expected);
  }
  auto small = std::make_unique<txhost::CsvReader>(testing_support::SourceOver(text, {}, 4099),
                                                   txhost::CsvReadSizes{4096, 1 << 20});
  EXPECT_TRUE(Screen(std::move(small), 2, false) == expected) << "in batches of about 4 KiB";
}

}  // namespace
