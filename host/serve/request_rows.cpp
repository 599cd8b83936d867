// simdjson reads each body twice: its DOM parser checks the whole document, keys left alone
// included, and its on-demand parser then takes the values, numbers as the raw text the request
// holds, which the DOM no longer has.
#include "request_rows.h"

#include <simdjson.h>

#include <algorithm>
#include <utility>

namespace txhost {

const size_t kRequestPadding = simdjson::SIMDJSON_PADDING;

namespace {

namespace od = simdjson::ondemand;

const char* TypeName(od::json_type type) {
  switch (type) {
    case od::json_type::array: return "an array";
    case od::json_type::object: return "an object";
    case od::json_type::boolean: return "a boolean";
    case od::json_type::null: return "null";
    default: return "a value";
  }
}

// Where each field of the record being read lies in `bytes`, until the views can be taken.
using Spans = std::vector<std::pair<size_t, size_t>>;

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// One transaction: each header column's bytes appended to `bytes`, or the reason it cannot be.
bool ReadObject(od::object object, const std::vector<std::string>& header,
                std::vector<char>* bytes, Spans* spans, std::string* problem) {
  spans->assign(header.size(), {0, std::string::npos});
  for (auto member : object) {
    std::string_view key;
    if (member.unescaped_key().get(key)) return false;
    auto column = std::find(header.begin(), header.end(), key);
    if (column == header.end()) continue;  // a field no check reads
    const size_t c = column - header.begin();
    if ((*spans)[c].second != std::string::npos) {
      if (problem->empty()) *problem = "column " + header[c] + " is given twice";
      continue;
    }
    od::value value = member.value();
    od::json_type type;
    if (value.type().get(type)) return false;
    std::string_view text;
    if (type == od::json_type::string) {
      if (value.get_string().get(text)) return false;
    } else if (type == od::json_type::number) {
      text = TrimRight(value.raw_json_token());
    } else {
      if (problem->empty()) {
        *problem = "column " + header[c] + ": expected a string or a number, found " +
                   TypeName(type);
      }
      continue;
    }
    (*spans)[c] = {bytes->size(), text.size()};
    bytes->insert(bytes->end(), text.begin(), text.end());
    bytes->push_back('\0');  // rules are handed a field as a C string where it lies
  }
  for (size_t c = 0; c < header.size() && problem->empty(); ++c) {
    if ((*spans)[c].second == std::string::npos) *problem = "missing column " + header[c];
  }
  return true;
}

}  // namespace

RequestError ReadRequestRows(std::string& body, const std::vector<std::string>& header,
                             RequestRows* rows, std::string* error) {
  thread_local simdjson::dom::parser checker;
  thread_local od::parser parser;
  *rows = RequestRows();
  simdjson::dom::element document;
  if (auto failure = checker.parse(body.data(), body.size(), false).get(document)) {
    *error = std::string("malformed JSON: ") + simdjson::error_message(failure);
    return RequestError::kMalformed;
  }
  const bool batch = document.is_array();
  if (!batch && !document.is_object()) {
    *error = "expected a JSON object of column values, or an array of them";
    return RequestError::kUnprocessable;
  }
  if (batch) {
    size_t count = simdjson::dom::array(document).size();
    if (count > kMaxBatch) {
      *error = "a batch holds at most " + std::to_string(kMaxBatch) + " transactions, not " +
               std::to_string(count);
      return RequestError::kUnprocessable;
    }
    if (count == 0) {
      *error = "an empty batch";
      return RequestError::kUnprocessable;
    }
  }
  rows->batch = batch;
  std::vector<Spans> spans;
  Spans one;
  auto read = [&](od::object object) {
    std::string problem;
    if (!ReadObject(object, header, &rows->bytes, &one, &problem)) return false;
    spans.push_back(one);
    rows->problems.push_back(std::move(problem));
    return true;
  };
  simdjson::padded_string_view view(body.data(), body.size(), body.capacity());
  od::document parsed;
  bool read_well = !parser.iterate(view).get(parsed);
  if (read_well && batch) {
    size_t item = 0;
    for (auto element : parsed.get_array()) {
      ++item;
      od::object object;
      if (element.get_object().get(object)) {
        *error = "item " + std::to_string(item) + " of the batch is not a JSON object";
        return RequestError::kUnprocessable;
      }
      if (!(read_well = read(object))) break;
    }
  } else if (read_well) {
    od::object object;
    read_well = !parsed.get_object().get(object) && read(object);
  }
  if (!read_well) {
    *error = "malformed JSON";
    return RequestError::kMalformed;
  }
  // The bytes have stopped growing: the views can be taken.
  rows->records.resize(spans.size());
  for (size_t r = 0; r < spans.size(); ++r) {
    CsvRecord& record = rows->records[r];
    record.line = r + 1;
    for (const auto& [begin, size] : spans[r]) {
      record.fields.emplace_back(size == std::string::npos ? "" : rows->bytes.data() + begin,
                                 size == std::string::npos ? 0 : size);
    }
  }
  return RequestError::kNone;
}

}  // namespace txhost
