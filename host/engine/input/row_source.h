// Where the rows of a run come from: a CSV stream, or columns already in memory. The pipeline
// reads any of them the same way, a batch at a time, on one thread.
#ifndef TXSCREEN_HOST_ENGINE_INPUT_ROW_SOURCE_H_
#define TXSCREEN_HOST_ENGINE_INPUT_ROW_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace txhost {

// One row as it was read: its fields as texts, before any conversion. The fields view bytes that
// the batch or the source holds, and are good as long as those are. Each is followed by a NUL,
// so that a rule can be handed it as a C string where it lies.
struct CsvRecord {
  std::vector<std::string_view> fields;
  size_t line = 0;    // where the record starts, counting from 1
  std::string error;  // non-empty for a malformed record, whose fields are then incomplete
  // False when the fields are known to hold no NUL byte, which spares looking for one.
  bool may_hold_nul = true;
};

// The most records a source that fills them itself puts in a batch.
inline constexpr size_t kRecordsPerBatch = 256;

// Rows read together. A CSV source hands out its bytes unsplit, cut where a record ends, so that
// each worker splits its own batches into records and reading runs on every core; other sources
// fill `records` themselves. Batches are used again, so that their buffers keep their capacity.
struct RowBatch {
  std::vector<CsvRecord> records;  // the first `size` are in use
  size_t size = 0;
  // The CSV text still to split when `unsplit`: bytes [text_begin, text_end) of `text`, whole
  // records of which the first starts on line `first_line`. Once split, the fields view `text`.
  bool unsplit = false;
  std::vector<char> text;
  size_t text_begin = 0;
  size_t text_end = 0;
  size_t first_line = 0;

  // The record to fill next, its fields cleared.
  CsvRecord& Append() {
    if (size == records.size()) records.emplace_back();
    CsvRecord& record = records[size++];
    record.fields.clear();
    record.error.clear();
    record.may_hold_nul = true;
    return record;
  }
  void Clear() {
    size = 0;
    unsplit = false;
    text_begin = text_end = 0;
  }
};

class RowSource {
 public:
  virtual ~RowSource() = default;

  // Fills `batch` with the next rows, or with the CSV bytes that hold them, giving what the input
  // has at hand rather than waiting for a full batch; false at the end of the input.
  virtual bool Read(RowBatch* batch) = 0;
  // Bytes consumed so far, for progress; 0 where the source has no bytes.
  virtual uint64_t bytes_read() const { return 0; }
  // Whether reading stopped on an error rather than at the end.
  virtual bool failed() const { return false; }
  // Makes batches small enough that each of `workers` gets several, for rows that wait on the
  // database: a small input then keeps every worker busy. `total_bytes` is the input's size, 0
  // when unknown. Called before the first Read; rows that do not wait keep the large batches.
  virtual void SpreadOver(size_t workers, uint64_t total_bytes) {
    (void)workers;
    (void)total_bytes;
  }
};

// Batches per worker that SpreadOver aims at.
inline constexpr size_t kBatchesPerWorker = 4;

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_INPUT_ROW_SOURCE_H_
