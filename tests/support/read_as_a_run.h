// Reading CSV text as a screening run does, for the readers' tests and fuzzer: a source whose
// reads end where a test says, and the records a reader gives through it.
#ifndef TXSCREEN_TESTS_SUPPORT_READ_AS_A_RUN_H_
#define TXSCREEN_TESTS_SUPPORT_READ_AS_A_RUN_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "byte_csv_reader.h"
#include "csv.h"

namespace testing_support {

// A source over `text` whose reads end at each of `cuts` (ascending), as a pipe's do where its
// producer paused, and at every multiple of `every`.
inline txhost::ByteCsvReader::Source SourceOver(const std::string& text,
                                                std::vector<size_t> cuts = {},
                                                size_t every = SIZE_MAX) {
  return [&text, cuts = std::move(cuts), every, given = size_t{0}](
             char* buffer, size_t size) mutable -> std::ptrdiff_t {
    size_t limit = std::min(text.size(), given + (every - given % every));
    for (size_t cut : cuts) {
      if (cut > given) {
        limit = std::min(limit, cut);
        break;
      }
    }
    size_t count = std::min(size, limit - given);
    std::memcpy(buffer, text.data() + given, count);
    given += count;
    return static_cast<std::ptrdiff_t>(count);
  };
}

// The records `reader` gives: the first on its own, as a header is read, then batches split as
// a worker splits them; with `spread_over` workers, the batches are spread over them as for
// rules that wait on the database, `total_bytes` being the input's size.
// `nul_ended` is set false when a field is not followed by the NUL that lets a rule take it
// where it lies.
inline std::vector<txhost::OwnedRecord> ReadAsARun(txhost::CsvReader* reader, bool* nul_ended,
                                                   size_t spread_over = 0,
                                                   uint64_t total_bytes = 0) {
  std::vector<txhost::OwnedRecord> records;
  *nul_ended = true;
  auto keep = [&](const txhost::CsvRecord& record) {
    for (std::string_view field : record.fields) *nul_ended &= field.data()[field.size()] == '\0';
    records.push_back({{record.fields.begin(), record.fields.end()}, record.line, record.error});
  };
  txhost::CsvRecord first;
  if (reader->Next(&first)) keep(first);
  if (spread_over > 0) reader->SpreadOver(spread_over, total_bytes);
  txhost::RowBatch batch;
  while (reader->Read(&batch)) {
    if (batch.unsplit) txhost::SplitBatch(&batch);
    for (size_t i = 0; i < batch.size; ++i) keep(batch.records[i]);
  }
  return records;
}

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_READ_AS_A_RUN_H_
