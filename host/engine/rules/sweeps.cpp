// Sweeps: a set of values read as a range or a list.
#include "sweeps.h"

#include <algorithm>

#include "decisions.h"
#include "rule_words.h"

namespace txhost {
namespace {

// `units` at `scale` as a person writes it: no trailing zeros after the point, no lone point.
std::string DecimalText(int64_t units, int scale) {
  std::string digits = std::to_string(units < 0 ? -units : units);
  if (scale > 0) {
    digits.insert(0, std::max<int>(0, scale + 1 - static_cast<int>(digits.size())), '0');
    digits.insert(digits.size() - scale, ".");
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.back() == '.') digits.pop_back();
  }
  return (units < 0 ? "-" : "") + digits;
}

bool ParseRange(const std::string& inner, ParamKind kind, Sweep* sweep, std::string* problem) {
  if (kind != ParamKind::kAmount) {
    *problem = "a range sweeps an amount; list the values instead";
    return false;
  }
  std::vector<int64_t> units;
  int scale = 0;
  if (!ParseDecimalRange(inner, &units, &sweep->texts, &scale, problem)) return false;
  for (const std::string& text : sweep->texts) {
    Value value;
    std::string reason;
    if (!ParseAmount(text, &value.amount, &reason)) {
      *problem = "its values are amounts, but " + BadValue(text, reason);
      return false;
    }
    sweep->values.push_back(value);
  }
  return true;
}

bool ParseList(const std::string& inner, ParamKind kind, Sweep* sweep, std::string* problem) {
  const std::vector<std::string> items = SplitList(inner);
  if (items.size() > kMaxSweepValues) {
    *problem = "a sweep has at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  for (const std::string& word : items) {
    std::string literal = IsQuoted(word) ? Unquote(word) : word;
    Value value;
    std::string reason;
    if (word.empty() || !ParseValue(kind, literal, &value, &reason)) {
      *problem = "its values are " + std::string(KindName(kind)) + "s, but " +
                 BadValue(literal, word.empty() ? "is empty" : reason);
      return false;
    }
    sweep->texts.push_back(literal);
    sweep->values.push_back(value);
  }
  return true;
}

}  // namespace

bool ParseDecimalRange(const std::string& written, std::vector<int64_t>* values,
                       std::vector<std::string>* texts, int* scale, std::string* problem) {
  // Tabs separate words here as everywhere else in a rule set.
  std::string inner = written;
  std::replace(inner.begin(), inner.end(), '\t', ' ');
  size_t dots = inner.find("..");
  size_t step_at = inner.find(" step ");
  if (step_at == std::string::npos || step_at < dots) {
    *problem = "a range is written FROM..TO step STEP";
    return false;
  }
  const std::string parts[] = {Trim(inner.substr(0, dots)),
                               Trim(inner.substr(dots + 2, step_at - dots - 2)),
                               Trim(inner.substr(step_at + 6))};
  Decimal ends[3];
  for (int i = 0; i < 3; ++i) {
    if (!ParseDecimal(parts[i], &ends[i])) {
      *problem =
          "a range is written FROM..TO step STEP, with three decimal numbers of at most "
          "15 digits";
      return false;
    }
  }
  *scale = std::max({ends[0].scale, ends[1].scale, ends[2].scale});
  int64_t units[3];
  bool fits = true;
  for (int i = 0; i < 3; ++i) {
    units[i] = ends[i].units;
    for (int s = ends[i].scale; s < *scale; ++s) {
      fits = fits && !__builtin_mul_overflow(units[i], 10, &units[i]);
    }
  }
  int64_t span = 0;
  if (!fits || __builtin_sub_overflow(units[1], units[0], &span)) {
    *problem =
        "the range cannot be counted: FROM, TO and their difference, written at the "
        "precision of the finest of the three, must fit in 18 digits";
    return false;
  }
  const int64_t from = units[0], step = units[2];
  if (step == 0 || (span != 0 && (span < 0) != (step < 0))) {
    *problem = "the step must lead from FROM to TO";
    return false;
  }
  const int64_t count = span / step + 1;
  if (count > static_cast<int64_t>(kMaxSweepValues)) {
    *problem = "a sweep has at most " + std::to_string(kMaxSweepValues) + " values";
    return false;
  }
  for (int64_t i = 0; i < count; ++i) {
    values->push_back(from + i * step);
    texts->push_back(DecimalText(from + i * step, *scale));
  }
  return true;
}

bool ParseSweep(const std::string& set, ParamKind kind, Sweep* sweep, std::string* problem) {
  std::string inner = Trim(set.substr(1, set.size() - 2));
  if (inner.empty()) {
    *problem = "the set [] is empty";
    return false;
  }
  bool range = inner.find("..") != std::string::npos && inner[0] != '"';
  if (range ? ParseRange(inner, kind, sweep, problem) : ParseList(inner, kind, sweep, problem)) {
    return true;
  }
  sweep->values.clear();
  sweep->texts.clear();
  return false;
}

}  // namespace txhost
