// Handing out the rows of in-memory columns.
#include "column_source.h"

namespace txhost {

bool ColumnSource::Next(CsvRecord* record) {
  if (next_ >= rows_) return false;
  record->error.clear();
  record->fields.resize(columns_.size());
  for (size_t c = 0; c < columns_.size(); ++c) {
    if (columns_[c].empty()) {
      record->fields[c].clear();
    } else {
      record->fields[c].swap(columns_[c][next_]);  // each row is read once
    }
  }
  record->line = next_ + 2;
  ++next_;
  return true;
}

}  // namespace txhost
