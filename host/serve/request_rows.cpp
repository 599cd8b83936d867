// One pass of simdjson's on-demand parser: it takes the values, numbers as the raw text the
// request holds, and visits every other value too, so that a body is refused as malformed
// wherever its fault lies, in a key no check reads included.
#include "request_rows.h"

#include <simdjson.h>

#include <algorithm>
#include <utility>

namespace txhost {

void PadForReading(std::string* body) {
  const size_t size = body->size();
  body->append(simdjson::SIMDJSON_PADDING, '\0');
  body->resize(size);
}

namespace {

namespace od = simdjson::ondemand;

constexpr size_t kAbsent = static_cast<size_t>(-1);

const char* TypeName(od::json_type type) {
  switch (type) {
    case od::json_type::array: return "an array";
    case od::json_type::object: return "an object";
    case od::json_type::boolean: return "a boolean";
    case od::json_type::null: return "null";
    default: return "a value";
  }
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Reads a value no check takes, to its end: false when it is not well-formed JSON.
bool Skip(od::value value) {
  od::json_type type;
  if (value.type().get(type)) return false;
  switch (type) {
    case od::json_type::object: {
      od::object object;
      if (value.get_object().get(object)) return false;
      for (auto member : object) {
        std::string_view key;
        od::value inner;
        if (member.unescaped_key().get(key) || member.value().get(inner) || !Skip(inner)) {
          return false;
        }
      }
      return true;
    }
    case od::json_type::array: {
      od::array array;
      if (value.get_array().get(array)) return false;
      for (auto element : array) {
        od::value inner;
        if (element.get(inner) || !Skip(inner)) return false;
      }
      return true;
    }
    case od::json_type::string: {
      std::string_view text;
      return !value.get_string().get(text);
    }
    case od::json_type::number: {
      od::number number;
      return !value.get_number().get(number);
    }
    case od::json_type::boolean: {
      bool flag;
      return !value.get_bool().get(flag);
    }
    case od::json_type::null: {
      bool null = false;
      return !value.is_null().get(null) && null;
    }
  }
  return false;
}

// Whether the whole body was read: anything after the top value is not JSON.
bool AtEnd(od::document& document) {
  return document.current_location().error() == simdjson::OUT_OF_BOUNDS;
}

// A document that is one string, number, boolean or null, read whole.
bool SkipScalarDocument(od::document& document) {
  od::json_type type;
  if (document.type().get(type)) return false;
  std::string_view text;
  double number;
  bool flag;
  switch (type) {
    case od::json_type::string: return !document.get_string().get(text);
    case od::json_type::number: return !document.get_double().get(number);
    case od::json_type::boolean: return !document.get_bool().get(flag);
    case od::json_type::null: {
      bool null = false;
      return !document.is_null().get(null) && null;
    }
    default: return false;
  }
}

// Reads the transactions of one body against the header.
class Reader {
 public:
  Reader(const std::vector<std::string>& header, RequestRows* rows)
      : header_(header), rows_(rows), guesses_() {}

  // One transaction: each header column's bytes appended, or the reason it cannot be screened.
  // False when the object is not well-formed JSON.
  bool ReadObject(od::object object) {
    const size_t first = spans_.size();
    spans_.resize(first + header_.size(), {0, kAbsent});
    std::string problem;
    size_t member_index = 0;
    for (auto member : object) {
      std::string_view key;
      od::value value;
      if (member.unescaped_key().get(key) || member.value().get(value)) return false;
      const size_t c = Column(key, member_index++);
      if (c == kAbsent) {
        if (!Skip(value)) return false;  // a field no check reads, read to its end all the same
        continue;
      }
      auto& span = spans_[first + c];
      if (span.second != kAbsent) {
        if (problem.empty()) problem = "column " + header_[c] + " is given twice";
        if (!Skip(value)) return false;
        continue;
      }
      std::string_view text;
      if (!Take(value, c, &text, &problem)) return false;
      if (text.data() == nullptr) continue;
      span = {rows_->bytes.size(), text.size()};
      rows_->bytes.insert(rows_->bytes.end(), text.begin(), text.end());
      rows_->bytes.push_back('\0');  // rules are handed a field as a C string where it lies
    }
    for (size_t c = 0; c < header_.size() && problem.empty(); ++c) {
      if (spans_[first + c].second == kAbsent) problem = "missing column " + header_[c];
    }
    rows_->problems.push_back(std::move(problem));
    return true;
  }

  // The bytes have stopped growing: the views can be taken.
  void TakeViews() {
    const size_t count = rows_->problems.size();
    rows_->records.resize(count);
    for (size_t r = 0; r < count; ++r) {
      CsvRecord& record = rows_->records[r];
      record.line = r + 1;
      record.fields.reserve(header_.size());
      for (size_t c = 0; c < header_.size(); ++c) {
        const auto& [begin, size] = spans_[r * header_.size() + c];
        record.fields.emplace_back(size == kAbsent ? "" : rows_->bytes.data() + begin,
                                   size == kAbsent ? 0 : size);
      }
    }
  }

 private:
  // The header column named `key`, or kAbsent. Transactions of a batch mostly list their keys
  // in one order: the column the same place held last time is tried first.
  size_t Column(std::string_view key, size_t member_index) {
    if (member_index < guesses_.size()) {
      const size_t guess = guesses_[member_index];
      if (guess != kAbsent && header_[guess] == key) return guess;
    }
    auto found = std::find(header_.begin(), header_.end(), key);
    const size_t column = found == header_.end() ? kAbsent : found - header_.begin();
    if (member_index >= guesses_.size()) guesses_.resize(member_index + 1, kAbsent);
    guesses_[member_index] = column;
    return column;
  }

  // A string's bytes or a number's text as written; otherwise no text and, first, a problem.
  bool Take(od::value value, size_t c, std::string_view* text, std::string* problem) {
    od::json_type type;
    if (value.type().get(type)) return false;
    if (type == od::json_type::string) return !value.get_string().get(*text);
    if (type == od::json_type::number) {
      *text = TrimRight(value.raw_json_token());
      od::number number;  // checked for a well-formed number, as the rest of the body is
      return !value.get_number().get(number);
    }
    if (problem->empty()) {
      *problem =
          "column " + header_[c] + ": expected a string or a number, found " + TypeName(type);
    }
    *text = {};
    return Skip(value);
  }

  const std::vector<std::string>& header_;
  RequestRows* rows_;
  std::vector<std::pair<size_t, size_t>> spans_;  // per record and column: where its bytes lie
  std::vector<size_t> guesses_;
};

}  // namespace

RequestError ReadRequestRows(std::string& body, const std::vector<std::string>& header,
                             RequestRows* rows, std::string* error) {
  thread_local od::parser parser;
  *rows = RequestRows();
  Reader reader(header, rows);
  const auto malformed = [&](simdjson::error_code code) {
    *error = std::string("malformed JSON: ") + simdjson::error_message(code);
    return RequestError::kMalformed;
  };
  od::document document;
  od::json_type type;
  simdjson::padded_string_view view(body.data(), body.size(), body.capacity());
  if (auto code = parser.iterate(view).get(document)) return malformed(code);
  if (auto code = document.type().get(type)) return malformed(code);
  if (type == od::json_type::object) {
    od::object object;
    if (auto code = document.get_object().get(object)) return malformed(code);
    if (!reader.ReadObject(object)) return malformed(simdjson::TAPE_ERROR);
  } else if (type == od::json_type::array) {
    rows->batch = true;
    od::array array;
    if (auto code = document.get_array().get(array)) return malformed(code);
    size_t item = 0;
    for (auto element : array) {
      od::value value;
      od::json_type item_type;
      if (auto code = element.get(value)) return malformed(code);
      if (auto code = value.type().get(item_type)) return malformed(code);
      if (++item > kMaxBatch) {
        *error = "a batch holds at most " + std::to_string(kMaxBatch) + " transactions";
        return RequestError::kUnprocessable;
      }
      od::object object;
      if (item_type != od::json_type::object) {
        *error = "item " + std::to_string(item) + " of the batch is not a JSON object";
        return RequestError::kUnprocessable;
      }
      if (auto code = value.get_object().get(object)) return malformed(code);
      if (!reader.ReadObject(object)) return malformed(simdjson::TAPE_ERROR);
    }
    if (item == 0) {
      *error = "an empty batch";
      return RequestError::kUnprocessable;
    }
  } else {
    // A scalar document: read whole first (its reader refuses anything after it), so that what
    // is not JSON is told apart.
    if (!SkipScalarDocument(document)) return malformed(simdjson::TAPE_ERROR);
    *error = "expected a JSON object of column values, or an array of them";
    return RequestError::kUnprocessable;
  }
  if (!AtEnd(document)) return malformed(simdjson::TRAILING_CONTENT);
  reader.TakeViews();
  return RequestError::kNone;
}

}  // namespace txhost
