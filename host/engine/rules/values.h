// Reading rule arguments from text: amounts, ISO dates and texts, and writing them back.
#ifndef TXSCREEN_HOST_ENGINE_RULES_VALUES_H_
#define TXSCREEN_HOST_ENGINE_RULES_VALUES_H_

#include <string>
#include <string_view>

#include "rule_catalog.h"

namespace txhost {

// Each reader below gives false when the text is not a value of its kind, and then says in
// `problem` what is wrong with it, without quoting it ("is not a number"), so that problems can be
// counted by kind. BadValue gives the message that quotes the text as well.
std::string BadValue(std::string_view text, const std::string& problem);

// A finite decimal number that fits a float ("12.50", "-3", "1e3"). NaN, infinities and values
// beyond the float range are refused: no real transaction carries them.
bool ParseAmount(std::string_view text, float* amount, std::string* problem);

// An ISO calendar date, "YYYY-MM-DD", years 1 to 9999, at midnight.
bool ParseDate(std::string_view text, OCIDate* date, std::string* problem);

// A row's field as a text value, without a copy: `field` must be followed by a NUL, as the row
// sources' fields are, and must outlive the value's use. `may_hold_nul` false skips the search
// for a NUL inside it.
bool ReadField(std::string_view field, bool may_hold_nul, Value* value, std::string* problem);

// Reads `text` as a value of `kind` (not kHandles) into the matching member of `value`, which
// keeps a text of its own.
bool ParseValue(ParamKind kind, std::string_view text, Value* value, std::string* problem);

// The value as the text it was read from, for audit trails: amounts with the digits that read
// back to the same float, dates as YYYY-MM-DD.
std::string ValueText(ParamKind kind, const Value& value);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_VALUES_H_
