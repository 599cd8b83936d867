// The byte-at-a-time reader: a state machine over a buffered source.
#include "byte_csv_reader.h"

#include <cstring>

#include "csv_split.h"

namespace txhost {

int ByteCsvReader::Peek() {
  if (position_ == end_) {
    if (failed_) return -1;
    std::ptrdiff_t got = source_(buffer_.data(), buffer_.size());
    failed_ = got < 0;
    end_ = got > 0 ? static_cast<size_t>(got) : 0;
    position_ = 0;
    if (end_ == 0) return -1;
  }
  return static_cast<unsigned char>(buffer_[position_]);
}

int ByteCsvReader::Get() {
  int c = Peek();
  if (c >= 0) {
    ++position_;
    ++consumed_;
    if (c == '\n') ++line_;
  }
  return c;
}

bool ByteCsvReader::Next(OwnedRecord* record) {
  record->fields.clear();
  record->error.clear();
  if (!started_) {
    started_ = true;
    // A UTF-8 byte-order mark is not part of the first field; bytes that only start like one are.
    if (Peek() >= 0 && end_ - position_ >= 3 &&
        std::memcmp(&buffer_[position_], "\xEF\xBB\xBF", 3) == 0) {
      for (int i = 0; i < 3; ++i) Get();
    }
  }
  // Skip empty lines.
  for (;;) {
    int c = Peek();
    if (c == '\n') {
      Get();
    } else if (c == '\r') {
      Get();
      if (Peek() == '\n') Get();
    } else {
      break;
    }
  }
  if (Peek() < 0) return false;
  record->line = line_;

  std::string field;
  size_t bytes = 0;
  auto fail = [&](const std::string& reason) {
    if (record->error.empty()) record->error = reason;
  };
  for (;;) {
    int c = Get();
    if (c == '"' && field.empty()) {
      // A quoted field: runs to the next lone quote.
      for (;;) {
        c = Get();
        if (c < 0) {
          fail("a quoted field is not closed before the end of the file");
          record->fields.push_back(std::move(field));
          return true;
        }
        if (c == '"') {
          if (Peek() != '"') break;
          Get();
        }
        if (++bytes > kMaxRecordBytes) fail("the record is longer than 16 MiB");
        if (bytes <= kMaxRecordBytes) field.push_back(static_cast<char>(c));
      }
      c = Get();
      if (c != ',' && c != '\n' && c != '\r' && c >= 0) {
        fail("text follows a closing quote");
        while (c >= 0 && c != ',' && c != '\n') c = Get();
      }
    } else {
      while (c >= 0 && c != ',' && c != '\n' && c != '\r') {
        if (c == '"') fail("a quote inside an unquoted field");
        if (++bytes > kMaxRecordBytes) fail("the record is longer than 16 MiB");
        if (bytes <= kMaxRecordBytes) field.push_back(static_cast<char>(c));
        c = Get();
      }
    }
    record->fields.push_back(std::move(field));
    field.clear();
    if (c == ',') continue;
    if (c == '\r' && Peek() == '\n') Get();
    return true;
  }
}

}  // namespace txhost
