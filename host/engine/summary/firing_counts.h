// How often something fired, and against the known outcomes when backtesting: the figures of a
// check, of a sweep's value, and of a whole rule set.
#ifndef TXSCREEN_HOST_ENGINE_SUMMARY_FIRING_COUNTS_H_
#define TXSCREEN_HOST_ENGINE_SUMMARY_FIRING_COUNTS_H_

#include <cstddef>
#include <optional>

namespace txhost {

struct FiringCounts {
  size_t hits = 0;
  size_t true_positives = 0;
  size_t false_positives = 0;
  size_t false_negatives = 0;

  // `outcome` is 1, 0, or -1 for a row left out of the backtest.
  void Add(bool fired, int outcome) {
    hits += fired;
    true_positives += fired && outcome == 1;
    false_positives += fired && outcome == 0;
    false_negatives += !fired && outcome == 1;
  }
  // Not defined (empty) when there is nothing to divide by: a check that never fired has no
  // precision, which is not the same as a precision of 0.
  std::optional<double> Precision() const {
    return Ratio(true_positives, true_positives + false_positives);
  }
  std::optional<double> Recall() const {
    return Ratio(true_positives, true_positives + false_negatives);
  }

  static std::optional<double> Ratio(size_t part, size_t whole) {
    if (whole == 0) return std::nullopt;
    return double(part) / double(whole);
  }
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SUMMARY_FIRING_COUNTS_H_
