// Scores, thresholds and the decision they give a row.
#include "decisions.h"

#include <algorithm>

namespace txhost {

bool ParseDecimal(const std::string& text, Decimal* decimal) {
  constexpr size_t kMaxDigits = 15;
  if (text.empty()) return false;
  size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  int64_t value = 0;
  size_t digits = 0;
  int scale = -1;
  for (; at < text.size(); ++at) {
    if (text[at] == '.' && scale < 0) {
      scale = 0;
      continue;
    }
    if (text[at] < '0' || text[at] > '9' || ++digits > kMaxDigits) return false;
    value = value * 10 + (text[at] - '0');
    if (scale >= 0) ++scale;
  }
  if (digits == 0) return false;
  decimal->scale = std::max(scale, 0);
  decimal->units = text[0] == '-' ? -value : value;
  decimal->text = text;
  return true;
}

std::string FixedDecimalText(int64_t units, int scale) {
  // Through an unsigned magnitude, so that the most negative count has one too.
  const uint64_t magnitude = units < 0 ? 0 - static_cast<uint64_t>(units) : units;
  std::string digits = std::to_string(magnitude);
  if (scale > 0) {
    digits.insert(0, std::max<int>(0, scale + 1 - static_cast<int>(digits.size())), '0');
    digits.insert(digits.size() - scale, ".");
  }
  return (units < 0 ? "-" : "") + digits;
}

std::string Decisions::ScoreText(int64_t score) const {
  int64_t divisor = 1;
  for (int s = score_scale; s < scale; ++s) divisor *= 10;
  // A sum of scores is a whole number of the scores' own units: the division is exact.
  return FixedDecimalText(score / divisor, score_scale);
}

Decisions Decisions::MovedTo(const std::vector<size_t>& places) const {
  Decisions moved = *this;
  for (auto& weight : moved.weights) weight.first = places[weight.first];
  return moved;
}

}  // namespace txhost
