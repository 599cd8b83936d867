// JSON lines that keep the exact bytes of the input, for the records a run writes as it goes
// (explain lines, alerts).
//
// A text is written as a JSON string. Where its bytes are not UTF-8, each byte that is not part
// of a valid UTF-8 sequence is written as the escape \udcXX, XX being the byte's value: Python
// reads them back with json.loads(line) and text.encode("utf-8", "surrogateescape"); any reader
// can map U+DC80 to U+DCFF back to the bytes 0x80 to 0xFF. Valid UTF-8 is written as it is.
#ifndef TXSCREEN_HOST_ENGINE_JSON_JSON_LINE_H_
#define TXSCREEN_HOST_ENGINE_JSON_JSON_LINE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace txhost {

// Whether `bytes` are valid UTF-8 throughout.
bool IsUtf8(std::string_view bytes);

// `bytes` as a quoted JSON string, exact as described above.
std::string JsonString(std::string_view bytes);
// The same, appended to `out`.
void AppendJsonString(std::string_view bytes, std::string* out);

// One JSON object, its members in the order they are added.
class JsonObject {
 public:
  JsonObject& Text(std::string_view key, std::string_view bytes);
  JsonObject& Number(std::string_view key, std::string_view number);  // already JSON
  JsonObject& Raw(std::string_view key, std::string_view json);       // already JSON
  // The object, closed.
  std::string Close() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

// An alert a rule raised, as the alerts file and the summary's first alerts both give it: the
// row's id and line, the check's label and rule, the alert's text, and the sweep's value that
// raised it when one did (empty otherwise, and then left out).
std::string AlertJson(std::string_view id, size_t line, std::string_view label,
                      std::string_view rule, std::string_view text, std::string_view value);

// The problem of a text in `column` that holds half of a UTF-16 surrogate pair alone (a JSON
// string's \ud800, say, or a Python str's): it stands for no character, so no rule can be given
// it as text. The server and Python's decide give the same.
std::string LoneSurrogateProblem(const std::string& column);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_JSON_JSON_LINE_H_
