// Handing out the rows of in-memory columns.
#include "column_source.h"

#include <algorithm>

namespace txhost {

bool ColumnSource::Read(RowBatch* batch) {
  batch->Clear();
  for (; next_ < rows_ && batch->size < rows_per_batch_; ++next_) {
    CsvRecord& record = batch->Append();
    record.fields.resize(columns_.size());
    for (size_t c = 0; c < columns_.size(); ++c) {
      record.fields[c] = columns_[c].empty() ? std::string_view("") : columns_[c][next_];
    }
    record.line = next_ + 2;
  }
  return batch->size > 0;
}

void ColumnSource::SpreadOver(size_t workers, uint64_t) {
  rows_per_batch_ = std::clamp<size_t>(rows_ / (std::max<size_t>(workers, 1) * kBatchesPerWorker),
                                       1, kRecordsPerBatch);
}

}  // namespace txhost
