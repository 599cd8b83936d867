// Fuzzes the host's CSV readers: any bytes, no crash; the block reader reads what the byte reader
// reads, whatever the sizes of its reads and batches (taken from the input's first bytes); and
// every well-formed record survives being written back and read again unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byte_csv_reader.h"
#include "csv.h"
#include "read_as_a_run.h"

namespace {

std::vector<txhost::OwnedRecord> ReadByByte(const std::string& text) {
  txhost::ByteCsvReader reader(testing_support::SourceOver(text));
  std::vector<txhost::OwnedRecord> records;
  for (txhost::OwnedRecord record; reader.Next(&record);) records.push_back(record);
  return records;
}

std::vector<txhost::OwnedRecord> ReadByBlock(const std::string& text, size_t per_read,
                                             txhost::CsvReadSizes sizes) {
  txhost::CsvReader reader(testing_support::SourceOver(text, {}, per_read), sizes);
  bool nul_ended = false;
  std::vector<txhost::OwnedRecord> records = testing_support::ReadAsARun(&reader, &nul_ended);
  if (!nul_ended) std::abort();
  return records;
}

bool Same(const std::vector<txhost::OwnedRecord>& a, const std::vector<txhost::OwnedRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].fields != b[i].fields || a[i].line != b[i].line || a[i].error != b[i].error) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t per_read = 1 + data[0] % 64, block = 1 + data[1] % 64, pending = 1 + data[2];
  const std::string text(reinterpret_cast<const char*>(data) + 3, size - 3);
  const auto records = ReadByByte(text);
  if (!Same(ReadByBlock(text, per_read, {block, pending}), records)) std::abort();
  if (!Same(ReadByBlock(text, text.size() + 1, {}), records)) std::abort();

  size_t last_line = 0;
  std::string written;
  std::vector<std::vector<std::string>> kept;
  for (const auto& record : records) {
    if (record.line < last_line) std::abort();  // lines only go forward
    last_line = record.line;
    if (!record.error.empty()) continue;
    kept.push_back(record.fields);
    for (size_t i = 0; i < record.fields.size(); ++i) {
      written += (i ? "," : "") + txhost::CsvField(record.fields[i]);
    }
    written += "\n";
  }
  auto again = ReadByByte(written);
  size_t next = 0;
  for (const auto& fields : kept) {
    // An all-empty record (one empty field) is written as an empty line, which the reader skips.
    if (fields.size() == 1 && fields[0].empty()) continue;
    if (next >= again.size() || !again[next].error.empty() || again[next].fields != fields) {
      std::abort();
    }
    ++next;
  }
  return 0;
}
