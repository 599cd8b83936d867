// Writing exact JSON strings and objects.
#include "json_line.h"

#include <cstdio>

namespace txhost {
namespace {

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0 when there is none.
size_t Utf8Length(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const auto follows = [&](size_t i, unsigned char low, unsigned char high) {
    return i < bytes.size() && byte(i) >= low && byte(i) <= high;
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    unsigned char low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    return follows(1, low, high) && follows(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    unsigned char low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    return follows(1, low, high) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

void Escape(unsigned code, std::string* out) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", code);
  *out += escape;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = Utf8Length(bytes.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

void AppendJsonString(std::string_view bytes, std::string* out) {
  *out += '"';
  for (size_t at = 0; at < bytes.size();) {
    // A run of plain ASCII goes in at once: most texts are nothing else.
    size_t plain = at;
    while (plain < bytes.size()) {
      const unsigned char b = static_cast<unsigned char>(bytes[plain]);
      if (b < 0x20 || b >= 0x80 || b == '"' || b == '\\') break;
      ++plain;
    }
    if (plain > at) {
      out->append(bytes.data() + at, plain - at);
      at = plain;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(bytes[at]);
    size_t length = Utf8Length(bytes.substr(at));
    if (length == 0) {
      Escape(0xDC00 + c, out);  // a byte that is not UTF-8, as surrogateescape writes it
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (c < 0x20) {
      Escape(c, out);
    } else {
      out->append(bytes.data() + at, length);
    }
    at += length;
  }
  *out += '"';
}

std::string JsonString(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  AppendJsonString(bytes, &out);
  return out;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view bytes) {
  return Raw(key, JsonString(bytes));
}

std::string AlertJson(std::string_view id, size_t line, std::string_view label,
                      std::string_view rule, std::string_view text, std::string_view value) {
  JsonObject alert;
  alert.Text("id", id)
      .Number("line", std::to_string(line))
      .Text("label", label)
      .Text("rule", rule)
      .Text("text", text);
  if (!value.empty()) alert.Text("value", value);
  return alert.Close();
}

JsonObject& JsonObject::Number(std::string_view key, std::string_view number) {
  return Raw(key, number);
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
  if (text_.size() > 1) text_ += ",";
  text_ += JsonString(key);
  text_ += ":";
  text_ += json;
  return *this;
}

std::string LoneSurrogateProblem(const std::string& column) {
  return "column " + column +
         ": the text holds half of a UTF-16 surrogate pair alone (\\ud800 to \\udfff), which "
         "stands for no character";
}

}  // namespace txhost
