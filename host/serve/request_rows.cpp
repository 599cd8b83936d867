// One pass of simdjson's on-demand parser: it takes the values, numbers as the raw text the
// request holds, and visits every other value too, so that a body is refused as malformed
// wherever its fault lies, in a key no check reads included.
#include "request_rows.h"

#include <simdjson.h>

#include <algorithm>
#include <utility>

#include "json_line.h"

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

// How a value was read.
enum class ReadResult { kRead, kMalformed, kTooDeep };

// Whether `token` is a number as JSON writes it (RFC 8259), of any size: its range is for the
// column's reader to judge, as the same text in a file would be judged.
bool IsJsonNumber(std::string_view token) {
  size_t at = 0;
  auto digits = [&] {
    const size_t from = at;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9') ++at;
    return at > from;
  };
  if (at < token.size() && token[at] == '-') ++at;
  if (at < token.size() && token[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < token.size() && token[at] == '.' && (++at, !digits())) return false;
  if (at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
    ++at;
    if (at < token.size() && (token[at] == '+' || token[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == token.size();
}

// Whether a string token ("...", quotes included) escapes half of a surrogate pair alone, which
// stands for no character and so for no UTF-8 text.
bool HasLoneSurrogate(std::string_view token) {
  auto unit = [&](size_t at, unsigned* value) {
    if (at + 6 > token.size() || token[at] != '\\' || token[at + 1] != 'u') return false;
    *value = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
      const char c = token[i];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      *value = *value * 16 + static_cast<unsigned>(digit);
    }
    return true;
  };
  for (size_t at = 0; at < token.size(); ++at) {
    if (token[at] != '\\') continue;
    unsigned high = 0, low = 0;
    if (!unit(at, &high)) {
      ++at;  // another escape: its second character is no backslash of its own
      continue;
    }
    if (high >= 0xDC00 && high <= 0xDFFF) return true;
    if (high >= 0xD800 && high <= 0xDBFF) {
      if (!unit(at + 6, &low) || low < 0xDC00 || low > 0xDFFF) return true;
      at += 6;
    }
    at += 5;
  }
  return false;
}

// Reads a value no check takes, to its end, `depth` levels down: whether it is well-formed JSON
// within kMaxDepth levels. The nesting is bounded, since each level is a level of this stack.
ReadResult Skip(od::value value, int depth) {
  if (depth > kMaxDepth) return ReadResult::kTooDeep;
  od::json_type type;
  if (value.type().get(type)) return ReadResult::kMalformed;
  switch (type) {
    case od::json_type::object: {
      od::object object;
      if (value.get_object().get(object)) return ReadResult::kMalformed;
      for (auto member : object) {
        std::string_view key;
        od::value inner;
        if (member.unescaped_key().get(key) || member.value().get(inner)) {
          return ReadResult::kMalformed;
        }
        if (ReadResult read = Skip(inner, depth + 1); read != ReadResult::kRead) return read;
      }
      return ReadResult::kRead;
    }
    case od::json_type::array: {
      od::array array;
      if (value.get_array().get(array)) return ReadResult::kMalformed;
      for (auto element : array) {
        od::value inner;
        if (element.get(inner)) return ReadResult::kMalformed;
        if (ReadResult read = Skip(inner, depth + 1); read != ReadResult::kRead) return read;
      }
      return ReadResult::kRead;
    }
    case od::json_type::string: {
      std::string_view text;
      // A lone surrogate is well-formed JSON, though no text: a key no check reads may hold one.
      return !value.get_string().get(text) || HasLoneSurrogate(value.raw_json_token())
                 ? ReadResult::kRead
                 : ReadResult::kMalformed;
    }
    case od::json_type::number:
      return IsJsonNumber(TrimRight(value.raw_json_token())) ? ReadResult::kRead
                                                              : ReadResult::kMalformed;
    case od::json_type::boolean: {
      bool flag;
      return value.get_bool().get(flag) ? ReadResult::kMalformed : ReadResult::kRead;
    }
    case od::json_type::null: {
      bool null = false;
      return !value.is_null().get(null) && null ? ReadResult::kRead : ReadResult::kMalformed;
    }
  }
  return ReadResult::kMalformed;
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
  Reader(const std::vector<std::string>& header, size_t required, RequestRows* rows)
      : header_(header), required_(required), rows_(rows), guesses_() {}

  // One transaction, `depth` levels down: each header column's bytes appended, or the reason it
  // cannot be screened.
  ReadResult ReadObject(od::object object, int depth) {
    const size_t first = spans_.size();
    spans_.resize(first + header_.size(), {0, kAbsent});
    std::string problem, draft_problem;
    size_t member_index = 0;
    for (auto member : object) {
      std::string_view key;
      od::value value;
      if (member.unescaped_key().get(key) || member.value().get(value)) {
        return ReadResult::kMalformed;
      }
      const size_t c = Column(key, member_index++);
      auto& span = spans_[first + (c == kAbsent ? 0 : c)];
      // A problem of a column only the draft reads is the draft's alone.
      std::string& its_problem = c != kAbsent && c >= required_ ? draft_problem : problem;
      if (c == kAbsent || span.second != kAbsent) {
        if (c != kAbsent && its_problem.empty()) {
          its_problem = "column " + header_[c] + " is given twice";
        }
        // A field no check reads, read to its end all the same.
        if (ReadResult read = Skip(value, depth + 1); read != ReadResult::kRead) return read;
        continue;
      }
      std::string_view text;
      if (ReadResult read = Take(value, c, depth + 1, &text, &its_problem);
          read != ReadResult::kRead) {
        return read;
      }
      if (text.data() == nullptr) continue;
      span = {rows_->bytes.size(), text.size()};
      rows_->bytes.insert(rows_->bytes.end(), text.begin(), text.end());
      rows_->bytes.push_back('\0');  // rules are handed a field as a C string where it lies
    }
    for (size_t c = 0; c < header_.size(); ++c) {
      std::string& its_problem = c >= required_ ? draft_problem : problem;
      if (spans_[first + c].second == kAbsent && its_problem.empty()) {
        its_problem = "missing column " + header_[c];
      }
    }
    rows_->problems.push_back(std::move(problem));
    rows_->draft_problems.push_back(std::move(draft_problem));
    return ReadResult::kRead;
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

  // A string's bytes or a number's text as written, whatever its size: the column's reader judges
  // it as it judges the same text in a file. Otherwise no text and, first, a problem.
  ReadResult Take(od::value value, size_t c, int depth, std::string_view* text,
                  std::string* problem) {
    od::json_type type;
    if (value.type().get(type)) return ReadResult::kMalformed;
    if (type == od::json_type::string) {
      if (!value.get_string().get(*text)) return ReadResult::kRead;
      if (!HasLoneSurrogate(value.raw_json_token())) return ReadResult::kMalformed;
      if (problem->empty()) *problem = LoneSurrogateProblem(header_[c]);
      *text = {};
      return ReadResult::kRead;
    }
    if (type == od::json_type::number) {
      *text = TrimRight(value.raw_json_token());
      return IsJsonNumber(*text) ? ReadResult::kRead : ReadResult::kMalformed;
    }
    if (problem->empty()) {
      *problem =
          "column " + header_[c] + ": expected a string or a number, found " + TypeName(type);
    }
    *text = {};
    return Skip(value, depth);
  }

  const std::vector<std::string>& header_;
  const size_t required_;
  RequestRows* rows_;
  std::vector<std::pair<size_t, size_t>> spans_;  // per record and column: where its bytes lie
  std::vector<size_t> guesses_;
};

RequestError Malformed(simdjson::error_code code, std::string* error) {
  *error = std::string("malformed JSON: ") + simdjson::error_message(code);
  return RequestError::kMalformed;
}

// What a value that could not be read is, as the request's error.
RequestError Unread(ReadResult read, std::string* error) {
  if (read != ReadResult::kTooDeep) return Malformed(simdjson::TAPE_ERROR, error);
  *error = "the body nests values deeper than " + std::to_string(kMaxDepth) +
           " levels; a transaction is one object of plain values";
  return RequestError::kMalformed;
}

// The transactions of a batch, each an object two levels down.
RequestError ReadBatch(od::array array, Reader* reader, std::string* error) {
  size_t item = 0;
  for (auto element : array) {
    od::value value;
    od::json_type item_type;
    if (auto code = element.get(value)) return Malformed(code, error);
    if (auto code = value.type().get(item_type)) return Malformed(code, error);
    if (++item > kMaxBatch) {
      *error = "a batch holds at most " + std::to_string(kMaxBatch) + " transactions";
      return RequestError::kUnprocessable;
    }
    od::object object;
    if (item_type != od::json_type::object) {
      *error = "item " + std::to_string(item) + " of the batch is not a JSON object";
      return RequestError::kUnprocessable;
    }
    if (auto code = value.get_object().get(object)) return Malformed(code, error);
    if (ReadResult read = reader->ReadObject(object, 2); read != ReadResult::kRead) {
      return Unread(read, error);
    }
  }
  if (item == 0) {
    *error = "an empty batch";
    return RequestError::kUnprocessable;
  }
  return RequestError::kNone;
}

}  // namespace

RequestError ReadRequestRows(std::string& body, const std::vector<std::string>& header,
                             size_t required, RequestRows* rows, std::string* error) {
  thread_local od::parser parser;
  *rows = RequestRows();
  Reader reader(header, std::min(required, header.size()), rows);
  const auto malformed = [&](simdjson::error_code code) { return Malformed(code, error); };
  const auto failed = [&](ReadResult read) { return Unread(read, error); };
  od::document document;
  od::json_type type;
  simdjson::padded_string_view view(body.data(), body.size(), body.capacity());
  if (auto code = parser.iterate(view).get(document)) return malformed(code);
  if (auto code = document.type().get(type)) return malformed(code);
  if (type == od::json_type::object) {
    od::object object;
    if (auto code = document.get_object().get(object)) return malformed(code);
    if (ReadResult read = reader.ReadObject(object, 1); read != ReadResult::kRead) {
      return failed(read);
    }
  } else if (type == od::json_type::array) {
    rows->batch = true;
    od::array array;
    if (auto code = document.get_array().get(array)) return malformed(code);
    if (RequestError read = ReadBatch(array, &reader, error); read != RequestError::kNone) {
      return read;
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
