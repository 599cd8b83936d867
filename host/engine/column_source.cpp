// Handing out the rows of in-memory columns.
#include "column_source.h"

namespace txhost {

bool ColumnSource::Read(RowBatch* batch) {
  batch->Clear();
  for (; next_ < rows_ && batch->size < kRecordsPerBatch; ++next_) {
    CsvRecord& record = batch->Append();
    record.fields.resize(columns_.size());
    for (size_t c = 0; c < columns_.size(); ++c) {
      record.fields[c] = columns_[c].empty() ? std::string_view("") : columns_[c][next_];
    }
    record.line = next_ + 2;
  }
  return batch->size > 0;
}

}  // namespace txhost
