// The pieces every part of the summary writes its figures with: rates that may be undefined, and
// a backtest's counts.
#ifndef TXSCREEN_HOST_ENGINE_SUMMARY_SUMMARY_JSON_H_
#define TXSCREEN_HOST_ENGINE_SUMMARY_SUMMARY_JSON_H_

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "firing_counts.h"

namespace txhost {

// A rate with nothing to divide by is null, which is not the same as 0.
inline nlohmann::json OrNull(std::optional<double> value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// "12.5%", or "-" when undefined.
inline std::string Percent(std::optional<double> ratio) {
  if (!ratio) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", 100 * *ratio);
  return text;
}

// The counts of `counts` against the labels, added to `entry`.
inline void AddBacktestJson(const FiringCounts& counts, nlohmann::json* entry) {
  (*entry)["true_positives"] = counts.true_positives;
  (*entry)["false_positives"] = counts.false_positives;
  (*entry)["false_negatives"] = counts.false_negatives;
  (*entry)["precision"] = OrNull(counts.Precision());
  (*entry)["recall"] = OrNull(counts.Recall());
}

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SUMMARY_SUMMARY_JSON_H_
