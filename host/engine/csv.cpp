// The CSV reader: a byte-at-a-time state machine over a buffered stream.
#include "csv.h"

#include <cstring>

namespace txhost {

CsvReader::CsvReader(std::istream& in)
    : source_([&in](char* buffer, size_t size) -> std::ptrdiff_t {
        in.read(buffer, static_cast<std::streamsize>(size));
        return in.bad() ? -1 : static_cast<std::ptrdiff_t>(in.gcount());
      }) {}

int CsvReader::Peek() {
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

int CsvReader::Get() {
  int c = Peek();
  if (c >= 0) {
    ++position_;
    ++consumed_;
    if (c == '\n') ++line_;
  }
  return c;
}

bool CsvReader::Next(CsvRecord* record) {
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

std::string CsvField(const std::string& text) {
  // A leading byte-order mark is quoted too: unquoted at the start of a file it would be read as
  // the file's mark and dropped.
  bool starts_like_mark = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
  if (!starts_like_mark && text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

}  // namespace txhost
