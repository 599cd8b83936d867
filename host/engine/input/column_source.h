// Rows from columns already in memory, such as a DataFrame's, converted to texts once.
#ifndef TXSCREEN_HOST_ENGINE_INPUT_COLUMN_SOURCE_H_
#define TXSCREEN_HOST_ENGINE_INPUT_COLUMN_SOURCE_H_

#include <string>
#include <vector>

#include "row_source.h"

namespace txhost {

// Each column is the texts of its rows, exactly as a CSV file would hold them unquoted; a column
// that no check, id or label reads may be left empty, and its fields are then empty texts. Row i
// gets line i + 2: the line it has in the same data written as CSV with a header line. The rows'
// fields view the columns, which the source keeps until it ends.
class ColumnSource : public RowSource {
 public:
  ColumnSource(std::vector<std::vector<std::string>> columns, size_t rows)
      : columns_(std::move(columns)), rows_(rows) {}

  bool Read(RowBatch* batch) override;
  void SpreadOver(size_t workers, uint64_t total_bytes) override;

 private:
  std::vector<std::vector<std::string>> columns_;
  size_t rows_;
  size_t next_ = 0;
  size_t rows_per_batch_ = kRecordsPerBatch;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_INPUT_COLUMN_SOURCE_H_
