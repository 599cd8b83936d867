// CSV records found many bytes at a time: where records end, so that a stream can be cut into
// pieces of whole records whatever its quotes hold, and the records of such a piece, as views
// into its bytes. Both follow RFC 4180 as the reader does (csv.h), malformed records included.
#ifndef TXSCREEN_HOST_ENGINE_INPUT_CSV_SPLIT_H_
#define TXSCREEN_HOST_ENGINE_INPUT_CSV_SPLIT_H_

#include <cstddef>
#include <cstdint>

#include "row_source.h"

namespace txhost {

// A record's fields keep at most this many bytes; the rest are dropped, and the record is
// rejected.
inline constexpr size_t kMaxRecordBytes = 16u << 20;

// The UTF-8 byte-order mark, which is not part of the first field when a stream starts with it.
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Follows a stream from where a record may start, to say where records end. A line break inside
// a quoted field ends nothing; a lone CR ends a record once the byte after it is known.
class RecordEndScanner {
 public:
  static constexpr size_t kNone = SIZE_MAX;

  // Follows `size` more bytes of the stream. The offset within them just past the last record
  // end they hold, or kNone.
  size_t Scan(const char* bytes, size_t size);

 private:
  enum class State { kFieldStart, kUnquoted, kQuoted, kQuoteInQuoted, kAfterQuote, kCr };

  // One byte at `at`; gives the offset past a record end it completes, or kNone.
  size_t Step(char c, size_t at);
  // Past [begin, end), which holds no quote, from a field start or an unquoted field.
  size_t SkipUnquoted(const char* bytes, size_t begin, size_t end);

  State state_ = State::kFieldStart;
};

// Splits bytes that start where a record may start into records. Quoted fields are unescaped and
// fields ended with a NUL in place, so the fields view `text` and are good as long as it is,
// unchanged; `text` must have a byte to spare past `size` for the last field's NUL.
class RecordSplitter {
 public:
  RecordSplitter(char* text, size_t size, size_t first_line)
      : text_(text), size_(size), line_(first_line), mask_(BlockMask(0)) {}

  // The next record; false when only empty lines are left.
  bool Next(CsvRecord* record);
  // The bytes split so far and the line the next record starts on.
  size_t position() const { return at_; }
  size_t line() const { return line_; }

 private:
  // The first of , " CR LF at or after `from`; size_ when there is none.
  size_t NextSpecial(size_t from) {
    if (from - block_ < 64) {  // most often in the block at hand
      uint64_t mask = mask_ & (~uint64_t{0} << (from - block_));
      if (mask != 0) return block_ + __builtin_ctzll(mask);
    }
    return NextSpecialInLaterBlocks(from);
  }
  size_t NextSpecialInLaterBlocks(size_t from);
  // Whether the byte at `at` ends a line: a LF, or a CR that no LF follows.
  bool EndsALine(size_t at) const {
    return text_[at] == '\n' || (text_[at] == '\r' && (at + 1 == size_ || text_[at + 1] != '\n'));
  }
  uint64_t BlockMask(size_t block) const;
  // The content of the quoted field that opens at at_, unescaped in place; moves at_ past it.
  void QuotedField(size_t* begin, size_t* end, CsvRecord* record);

  char* text_;
  size_t size_;
  size_t at_ = 0;
  size_t line_;
  size_t block_ = 0;  // where the 64 bytes of mask_ start
  uint64_t mask_;     // bit i: byte block_ + i is special
};

// Splits an unsplit batch into its records.
void SplitBatch(RowBatch* batch);

// How many lines `bytes` ends: each LF, and each CR that no LF follows (as Python's csv module
// counts them; a CR last in `bytes` counts, since a piece never ends between a CR and its LF).
size_t CountLineEnds(const char* bytes, size_t size);

// Which of 64 bytes are , " CR or LF: bit i for byte i. Vector compares where the target has
// SSE2, a table otherwise; both are exposed so that tests can hold them to each other.
uint64_t SpecialByteMask(const char* bytes);
uint64_t SpecialByteMaskPortable(const char* bytes);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_INPUT_CSV_SPLIT_H_
