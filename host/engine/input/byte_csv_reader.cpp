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
    // A lone CR ends a line too, as Python's csv module counts them.
    if (c == '\n' || (c == '\r' && Peek() != '\n')) ++line_;
  }
  return c;
}

void ByteCsvReader::SkipToRecord() {
  if (!started_) {
    started_ = true;
    // Bytes that only start like a byte-order mark are part of the first field.
    if (Peek() >= 0 && end_ - position_ >= 3 &&
        std::memcmp(&buffer_[position_], kByteOrderMark, 3) == 0) {
      for (int i = 0; i < 3; ++i) Get();
    }
  }
  for (int c = Peek(); c == '\n' || c == '\r'; c = Peek()) Get();  // empty lines
}

void ByteCsvReader::Fail(const char* reason, OwnedRecord* record) {
  if (record->error.empty()) record->error = reason;
}

void ByteCsvReader::Keep(int c, std::string* field, size_t* bytes, OwnedRecord* record) {
  if (++*bytes > kMaxRecordBytes) {
    Fail("the record is longer than 16 MiB", record);
  } else {
    field->push_back(static_cast<char>(c));
  }
}

int ByteCsvReader::ReadQuoted(std::string* field, size_t* bytes, OwnedRecord* record) {
  for (;;) {
    int c = Get();
    if (c < 0) {
      Fail("a quoted field is not closed before the end of the file", record);
      return c;
    }
    if (c == '"') {
      if (Peek() != '"') break;
      Get();
    }
    Keep(c, field, bytes, record);
  }
  int c = Get();
  if (c != ',' && c != '\n' && c != '\r' && c >= 0) {
    Fail("text follows a closing quote", record);
    while (c >= 0 && c != ',' && c != '\n') c = Get();
  }
  return c;
}

int ByteCsvReader::ReadField(size_t* bytes, OwnedRecord* record) {
  std::string field;
  int c = Get();
  if (c == '"') {
    c = ReadQuoted(&field, bytes, record);
  } else {
    while (c >= 0 && c != ',' && c != '\n' && c != '\r') {
      if (c == '"') Fail("a quote inside an unquoted field", record);
      Keep(c, &field, bytes, record);
      c = Get();
    }
  }
  record->fields.push_back(std::move(field));
  return c;
}

bool ByteCsvReader::Next(OwnedRecord* record) {
  record->fields.clear();
  record->error.clear();
  SkipToRecord();
  if (Peek() < 0) return false;
  record->line = line_;
  size_t bytes = 0;  // of the record's fields
  for (;;) {
    int c = ReadField(&bytes, record);
    if (c == ',') continue;
    if (c == '\r' && Peek() == '\n') Get();
    return true;
  }
}

}  // namespace txhost
