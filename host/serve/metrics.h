// What an operator watches: the server's counters, and the Prometheus text format they are read
// in. Every counter is safe to add to from any thread.
#ifndef TXSCREEN_HOST_SERVE_METRICS_H_
#define TXSCREEN_HOST_SERVE_METRICS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "thread_annotations.h"

namespace txhost {

// Upper bounds of the latency histogram's buckets, in seconds.
inline constexpr double kLatencyBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                             0.05,   0.1,   0.25,   0.5,   1,    2.5};

// What one answered transaction adds: the live set's checks that fired and alerts it raised, by
// label, and its outcome (empty when the set has none).
struct TransactionTally {
  std::vector<std::string> fired, alerted;
  std::string outcome;
};

class Metrics {
 public:
  void Request(int status, double seconds);
  void Transaction(const TransactionTally& tally);
  void Reload(bool ok) { (ok ? reloads_ok_ : reloads_refused_)++; }
  void ShadowChange() { shadow_changes_++; }

  // The text of /metrics, with the gauges read at this moment.
  // `list_values`: each list the served sets use, by name, with its values.
  std::string Text(size_t sessions_open, size_t inflight,
                   const std::map<std::string, uint64_t>& list_values) const;

 private:
  static constexpr size_t kBuckets = std::size(kLatencyBuckets);
  std::array<std::atomic<uint64_t>, 600> requests_{};  // by status code
  std::array<std::atomic<uint64_t>, kBuckets + 1> latency_{};  // the last one is +Inf
  std::atomic<uint64_t> latency_micros_{0};
  std::atomic<uint64_t> reloads_ok_{0}, reloads_refused_{0}, shadow_changes_{0};
  mutable txscreen::Mutex mutex_;
  std::map<std::string, uint64_t> hits_ GUARDED_BY(mutex_);
  std::map<std::string, uint64_t> alerts_ GUARDED_BY(mutex_);
  std::map<std::string, uint64_t> outcomes_ GUARDED_BY(mutex_);
};

// `text` as a label value in the Prometheus text format: backslash, quote and newline escaped.
std::string PrometheusLabel(const std::string& text);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_METRICS_H_
