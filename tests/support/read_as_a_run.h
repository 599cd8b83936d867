// The records a CSV reader gives as a screening run reads them: the first on its own, as a header
// is read, then batches split as a worker splits them. Shared by the reader's tests and fuzzer.
#ifndef TXSCREEN_TESTS_SUPPORT_READ_AS_A_RUN_H_
#define TXSCREEN_TESTS_SUPPORT_READ_AS_A_RUN_H_

#include <vector>

#include "byte_csv_reader.h"
#include "csv.h"

namespace testing_support {

// Sets `nul_ended` false when a field is not followed by the NUL that lets a rule take it where
// it lies.
inline std::vector<txhost::OwnedRecord> ReadAsARun(txhost::CsvReader* reader, bool* nul_ended) {
  std::vector<txhost::OwnedRecord> records;
  *nul_ended = true;
  auto keep = [&](const txhost::CsvRecord& record) {
    for (std::string_view field : record.fields) *nul_ended &= field.data()[field.size()] == '\0';
    records.push_back({{record.fields.begin(), record.fields.end()}, record.line, record.error});
  };
  txhost::CsvRecord first;
  if (reader->Next(&first)) keep(first);
  txhost::RowBatch batch;
  while (reader->Read(&batch)) {
    if (batch.unsplit) txhost::SplitBatch(&batch);
    for (size_t i = 0; i < batch.size; ++i) keep(batch.records[i]);
  }
  return records;
}

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_READ_AS_A_RUN_H_
