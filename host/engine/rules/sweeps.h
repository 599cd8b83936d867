// Sweeps: the sets of values a literal or a threshold is tried with beside its own, written as a
// numeric range `[FROM..TO step STEP]` or a list `[250, 400, 600]`, `["SAT", "SUN"]`.
#ifndef TXSCREEN_HOST_ENGINE_RULES_SWEEPS_H_
#define TXSCREEN_HOST_ENGINE_RULES_SWEEPS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rule_catalog.h"
#include "values.h"

namespace txhost {

// The most values one sweep may have.
inline constexpr size_t kMaxSweepValues = 10000;

// The values a swept argument is tried with. At most kMaxSweepValues of them.
struct Sweep {
  size_t arg = 0;
  std::vector<Value> values;
  std::vector<std::string> texts;  // each value as the user would write it
  std::string current_text;        // the check's own literal, as written, unquoted
  int current = -1;                // the value equal to the check's own literal, or -1
};

// Reads the set of a sweep ("[100..1000 step 10]", "[\"SAT\", \"SUN\"]") for an argument of
// `kind`. False and the reason when it is malformed.
bool ParseSweep(const std::string& set, ParamKind kind, Sweep* sweep, std::string* problem);

// FROM..TO step STEP (the set without its brackets), counted in decimal at the precision the user
// wrote: TO belongs to the range exactly when it is FROM plus a whole number of steps. Each value
// in units of 10^-`scale`, with its text. False and the reason when it is malformed.
bool ParseDecimalRange(const std::string& inner, std::vector<int64_t>* values,
                       std::vector<std::string>* texts, int* scale, std::string* problem);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_SWEEPS_H_
