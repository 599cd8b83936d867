// Reading rule arguments from text: amounts, ISO dates and texts, and writing them back.
#ifndef TXSCREEN_HOST_ENGINE_VALUES_H_
#define TXSCREEN_HOST_ENGINE_VALUES_H_

#include <string>

#include "rule_catalog.h"

namespace txhost {

// Each reader below gives false when the text is not a value of its kind, and then says in
// `problem` what is wrong with it, without quoting it ("is not a number"), so that problems can be
// counted by kind. BadValue gives the message that quotes the text as well.
std::string BadValue(const std::string& text, const std::string& problem);

// A finite decimal number that fits a float ("12.50", "-3", "1e3"). NaN, infinities and values
// beyond the float range are refused: no real transaction carries them.
bool ParseAmount(const std::string& text, float* amount, std::string* problem);

// An ISO calendar date, "YYYY-MM-DD", years 1 to 9999, at midnight.
bool ParseDate(const std::string& text, OCIDate* date, std::string* problem);

// Reads `text` as a value of `kind` (not kHandles) into the matching member of `value`.
bool ParseValue(ParamKind kind, const std::string& text, Value* value, std::string* problem);

// The value as the text it was read from, for audit trails: amounts with the digits that read
// back to the same float, dates as YYYY-MM-DD.
std::string ValueText(ParamKind kind, const Value& value);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_VALUES_H_
