// Where the rows of a run come from: a CSV stream, or columns already in memory. The pipeline
// reads any of them the same way, on one thread.
#ifndef TXSCREEN_HOST_ENGINE_ROW_SOURCE_H_
#define TXSCREEN_HOST_ENGINE_ROW_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace txhost {

// One row as it was read: its fields as texts, before any conversion.
struct CsvRecord {
  std::vector<std::string> fields;
  size_t line = 0;    // where the record starts, counting from 1
  std::string error;  // non-empty for a malformed record, whose fields are then incomplete
};

class RowSource {
 public:
  virtual ~RowSource() = default;

  // The next row; false at the end of the input.
  virtual bool Next(CsvRecord* record) = 0;
  // Whether the next row can be had without waiting for a producer.
  virtual bool HasBufferedInput() const = 0;
  // Bytes consumed so far, for progress; 0 where the source has no bytes.
  virtual uint64_t bytes_read() const { return 0; }
  // Whether reading stopped on an error rather than at the end.
  virtual bool failed() const { return false; }
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_ROW_SOURCE_H_
