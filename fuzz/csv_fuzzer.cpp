// Fuzzes the host's CSV reader: any bytes, no crash, and every well-formed record survives being
// written back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "csv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  txhost::CsvReader reader(in);
  txhost::CsvRecord record;
  std::vector<std::vector<std::string>> records;
  size_t last_line = 0;
  while (reader.Next(&record)) {
    if (record.line < last_line) std::abort();  // lines only go forward
    last_line = record.line;
    if (record.error.empty()) records.push_back(record.fields);
  }
  std::string written;
  for (const auto& fields : records) {
    for (size_t i = 0; i < fields.size(); ++i) {
      written += (i ? "," : "") + txhost::CsvField(fields[i]);
    }
    written += "\n";
  }
  std::istringstream again(written);
  txhost::CsvReader rereader(again);
  for (const auto& fields : records) {
    // An all-empty record (one empty field) is written as an empty line, which the reader skips.
    if (fields.size() == 1 && fields[0].empty()) continue;
    if (!rereader.Next(&record) || !record.error.empty() || record.fields != fields) std::abort();
  }
  return 0;
}
