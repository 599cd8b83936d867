// CSV read one byte at a time: the simplest statement of how records are read, which the block
// reader (csv.h) is held to in tests, and which it falls back on for a record too long to hold
// whole.
#ifndef TXSCREEN_HOST_ENGINE_INPUT_BYTE_CSV_READER_H_
#define TXSCREEN_HOST_ENGINE_INPUT_BYTE_CSV_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace txhost {

// A record with fields of its own.
struct OwnedRecord {
  std::vector<std::string> fields;
  size_t line = 0;
  std::string error;
};

class ByteCsvReader {
 public:
  // Reads up to `size` bytes into `buffer`: the count, 0 at the end, -1 on an error.
  using Source = std::function<std::ptrdiff_t(char* buffer, size_t size)>;

  // Reads from `source`, whose first byte is on line `first_line`; at the start of the input a
  // byte-order mark is dropped.
  ByteCsvReader(Source source, size_t first_line = 1, bool at_input_start = true)
      : source_(std::move(source)), line_(first_line), started_(!at_input_start) {}

  // The next record; false at the end of the input.
  bool Next(OwnedRecord* record);
  uint64_t bytes_read() const { return consumed_; }
  // Whether the next record can be had without waiting for the source.
  bool HasBufferedInput() const { return position_ < end_; }
  bool failed() const { return failed_; }

 private:
  int Get();  // the next byte, or -1 at the end
  int Peek();
  // Past a byte-order mark at the start of the input, and empty lines.
  void SkipToRecord();
  // One field into `record`; gives the byte that ended it: a comma, a line end, or -1.
  int ReadField(size_t* bytes, OwnedRecord* record);
  // The rest of a field after its opening quote, and any text after its closing one.
  int ReadQuoted(std::string* field, size_t* bytes, OwnedRecord* record);
  // Adds byte `c` to `field` while the record's fields hold no more than they may.
  static void Keep(int c, std::string* field, size_t* bytes, OwnedRecord* record);
  static void Fail(const char* reason, OwnedRecord* record);

  Source source_;
  bool failed_ = false;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  size_t position_ = 0;
  size_t end_ = 0;
  uint64_t consumed_ = 0;
  size_t line_;
  bool started_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_INPUT_BYTE_CSV_READER_H_
