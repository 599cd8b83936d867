// CSV as RFC 4180 has it: quoted fields with embedded commas, quotes and line breaks, CRLF or LF
// line ends, and a UTF-8 byte-order mark tolerated at the start.
#ifndef TXSCREEN_HOST_ENGINE_INPUT_CSV_H_
#define TXSCREEN_HOST_ENGINE_INPUT_CSV_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "byte_csv_reader.h"
#include "csv_split.h"
#include "row_source.h"

namespace txhost {

// How much a CsvReader holds: tests make the sizes small, to cut the input everywhere.
struct CsvReadSizes {
  size_t block = 1 << 18;  // bytes read at a time, and the size a batch aims at
  size_t longest_pending = 2 * kMaxRecordBytes + (1 << 20);  // an unfinished record's bytes
};

// Reads a stream a block at a time. The header comes record by record (Next); the rows come as
// batches of bytes cut where a record ends (Read), which the workers split. Empty lines are
// skipped. A record too long to hold whole (over twice the longest a record may keep) switches
// the rest of the input to the byte-at-a-time reader, so that memory stays bounded.
class CsvReader : public RowSource {
 public:
  using Source = ByteCsvReader::Source;

  explicit CsvReader(std::istream& in, CsvReadSizes sizes = {});
  // A source that gives what it has at once (a pipe) lets records through as soon as their bytes
  // arrive, instead of waiting for a block's worth.
  explicit CsvReader(Source source, CsvReadSizes sizes = {});

  // The next record on its own; its fields are good until the next call. False at the end.
  bool Next(CsvRecord* record);
  bool Read(RowBatch* batch) override;
  uint64_t bytes_read() const override;
  // Whether reading stopped on an error of the stream rather than at its end.
  bool failed() const override { return fallback_ ? fallback_->failed() : failed_; }
  // Reads, and cuts batches, in blocks of a share of the input (4 KiB when its size is unknown).
  void SpreadOver(size_t workers, uint64_t total_bytes) override;

 private:
  size_t pending() const { return end_ - position_; }
  // Room in the buffer for `bytes`, and the byte after them.
  void Reserve(size_t bytes);
  // Whether the bytes not yet handed out hold a record end.
  bool HasRecordEnd() const;
  // Reads once from the source, and scans what came for record ends.
  void Fill();
  // Follows the bytes not yet scanned, keeping the last record end among them.
  void Scan();
  // Reads until the bytes held end a record (and, with `whole_block`, fill a block or are all
  // the producer has at hand), the input ends, or the record is too long to wait for.
  void FillToRecordEnd(bool whole_block);
  // Drops a byte-order mark, once the first bytes are in.
  void Start();
  void StartFallback();
  bool ReadRecordsSlowly(RowBatch* batch);

  Source source_;
  CsvReadSizes sizes_;
  std::vector<char> buffer_;
  size_t position_ = 0;  // where the bytes not yet handed out start
  size_t end_ = 0;
  size_t scanned_ = 0;                           // where the scanner is
  size_t record_end_ = RecordEndScanner::kNone;  // the last record end scanned, past position_
  RecordEndScanner scanner_;
  size_t line_ = 1;
  uint64_t handed_out_ = 0;
  bool started_ = false;
  bool at_end_ = false;
  bool paused_ = false;  // the last read gave less than asked: the producer has no more at hand
  bool failed_ = false;
  bool spread_ = false;  // batches are cut at a block's worth even when more is at hand
  std::unique_ptr<ByteCsvReader> fallback_;
  std::vector<char> record_text_;  // what Next's fields view once reading is byte at a time
};

// A field as it must be written: quoted, with quotes doubled, when it holds a comma, a quote or
// a line break, or starts with the bytes of a byte-order mark.
std::string CsvField(std::string_view text);
void AppendCsvField(std::string_view text, std::string* out);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_INPUT_CSV_H_
