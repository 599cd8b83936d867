// Fuzzes the server's request reader: any body, no crash; every record it gives has one field per
// column, each inside the request's bytes and followed by a NUL; and the transactions it reads,
// written back as JSON strings, read back to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_line.h"
#include "request_rows.h"

namespace {

const std::vector<std::string> kHeader = {"id", "amount", "date", "a\"b"};

txhost::RequestError Read(const std::string& text, txhost::RequestRows* rows) {
  std::string body = text;
  txhost::PadForReading(&body);
  std::string error;
  txhost::RequestError result =
      txhost::ReadRequestRows(body, kHeader, kHeader.size(), rows, &error);
  if (result != txhost::RequestError::kNone && error.empty()) std::abort();
  return result;
}

void CheckShape(const txhost::RequestRows& rows) {
  if (rows.records.empty() || rows.records.size() != rows.problems.size()) std::abort();
  if (!rows.batch && rows.records.size() != 1) std::abort();
  const char* begin = rows.bytes.data();
  const char* end = begin + rows.bytes.size();
  for (size_t r = 0; r < rows.records.size(); ++r) {
    const txhost::CsvRecord& record = rows.records[r];
    if (record.fields.size() != kHeader.size()) std::abort();
    if (!rows.problems[r].empty()) continue;
    for (std::string_view field : record.fields) {
      if (field.data() < begin || field.data() + field.size() >= end) std::abort();
      if (field.data()[field.size()] != '\0') std::abort();
    }
  }
}

// The records without a problem, as a batch of JSON strings.
std::string WrittenBack(const txhost::RequestRows& rows) {
  std::string json = "[";
  for (size_t r = 0; r < rows.records.size(); ++r) {
    if (!rows.problems[r].empty()) continue;
    std::string object = "{";
    for (size_t c = 0; c < kHeader.size(); ++c) {
      object += (c > 0 ? "," : "") + txhost::JsonString(kHeader[c]) + ":" +
                txhost::JsonString(rows.records[r].fields[c]);
    }
    json += (json.size() > 1 ? "," : "") + object + "}";
  }
  return json + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  txhost::RequestRows rows;
  if (Read(text, &rows) != txhost::RequestError::kNone) return 0;
  CheckShape(rows);
  const std::string written = WrittenBack(rows);
  if (written == "[]") return 0;
  // Bytes that are not UTF-8 are written as escapes that no longer read as the same bytes.
  for (const txhost::CsvRecord& record : rows.records) {
    for (std::string_view field : record.fields) {
      for (unsigned char c : field) {
        if (c >= 0x80) return 0;
      }
    }
  }
  txhost::RequestRows again;
  if (Read(written, &again) != txhost::RequestError::kNone) std::abort();
  size_t next = 0;
  for (size_t r = 0; r < rows.records.size(); ++r) {
    if (!rows.problems[r].empty()) continue;
    if (again.records[next++].fields != rows.records[r].fields) std::abort();
  }
  return 0;
}
