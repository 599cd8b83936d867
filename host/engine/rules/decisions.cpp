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

bool SameDecimal(const Decimal& a, const Decimal& b) {
  auto reduced = [](Decimal d) {
    while (d.scale > 0 && d.units % 10 == 0) {
      d.units /= 10;
      --d.scale;
    }
    return std::pair(d.units, d.scale);
  };
  return reduced(a) == reduced(b);
}

size_t WriteFixedDecimal(int64_t units, int scale, char* out) {
  // Through an unsigned magnitude, so that the most negative count has one too.
  uint64_t magnitude = units < 0 ? 0 - static_cast<uint64_t>(units) : units;
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0 || count <= scale);  // at least one digit before the point
  char* at = out;
  if (units < 0) *at++ = '-';
  for (int i = count - 1; i >= 0; --i) {
    *at++ = digits[i];
    if (i == scale && scale > 0) *at++ = '.';
  }
  return static_cast<size_t>(at - out);
}

std::string FixedDecimalText(int64_t units, int scale) {
  char text[kMaxFixedDecimal];
  return std::string(text, WriteFixedDecimal(units, scale, text));
}

std::string Decisions::ScoreText(int64_t score) const {
  char text[kMaxFixedDecimal];
  return std::string(text, WriteScore(score, text));
}

size_t Decisions::WriteScore(int64_t score, char* out) const {
  int64_t divisor = 1;
  for (int s = score_scale; s < scale; ++s) divisor *= 10;
  // A sum of scores is a whole number of the scores' own units: the division is exact.
  return WriteFixedDecimal(score / divisor, score_scale, out);
}

Decisions Decisions::MovedTo(const std::vector<size_t>& places) const {
  Decisions moved = *this;
  for (auto& weight : moved.weights) weight.first = places[weight.first];
  return moved;
}

}  // namespace txhost
