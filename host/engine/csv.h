// CSV as RFC 4180 has it: quoted fields with embedded commas, quotes and line breaks, CRLF or LF
// line ends, and a UTF-8 byte-order mark tolerated at the start.
#ifndef TXSCREEN_HOST_ENGINE_CSV_H_
#define TXSCREEN_HOST_ENGINE_CSV_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "row_source.h"

namespace txhost {

// Reads records one at a time from a stream. Empty lines are skipped.
class CsvReader : public RowSource {
 public:
  static constexpr size_t kMaxRecordBytes = 16u << 20;

  // Reads up to `size` bytes into `buffer`: the count, 0 at the end, -1 on an error.
  using Source = std::function<std::ptrdiff_t(char* buffer, size_t size)>;

  explicit CsvReader(std::istream& in);
  // A source that gives what it has at once (a pipe) lets each record through as soon as its
  // bytes arrive, instead of waiting for a buffer's worth.
  explicit CsvReader(Source source) : source_(std::move(source)) {}

  // The next record; false at the end of the input.
  bool Next(CsvRecord* record) override;
  uint64_t bytes_read() const override { return consumed_; }
  bool HasBufferedInput() const override { return position_ < end_; }
  // Whether reading stopped on an error of the stream rather than at its end.
  bool failed() const override { return failed_; }

 private:
  int Get();  // the next byte, or -1 at the end
  int Peek();

  Source source_;
  bool failed_ = false;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  size_t position_ = 0;
  size_t end_ = 0;
  uint64_t consumed_ = 0;
  size_t line_ = 1;
  bool started_ = false;
};

// A field as it must be written: quoted, with quotes doubled, when it holds a comma, a quote or
// a line break, or starts with the bytes of a byte-order mark.
std::string CsvField(const std::string& text);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_CSV_H_
