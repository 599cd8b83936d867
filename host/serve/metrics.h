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

// A histogram of durations over kLatencyBuckets, safe to add to from any thread.
class Histogram {
 public:
  void Add(double seconds);
  // Its _bucket, _sum and _count samples, `labels` ("stage=\"queue\"", say) in each.
  void Write(std::string* out, const std::string& name, const std::string& labels) const;

 private:
  static constexpr size_t kBuckets = std::size(kLatencyBuckets);
  std::array<std::atomic<uint64_t>, kBuckets + 1> counts_{};  // the last one is +Inf
  std::atomic<uint64_t> micros_{0};
};

// What /metrics reads off the server at the moment it is asked.
struct Gauges {
  size_t sessions_open = 0, inflight = 0;
  // Each list the served sets use, by name, with its values.
  std::map<std::string, uint64_t> list_values;
  size_t idempotency_keys = 0, idempotency_bytes = 0;
  uint64_t idempotency_evicted = 0, undelivered = 0;
};

class Metrics {
 public:
  void Request(int status, double seconds);
  void Transaction(const TransactionTally& tally);
  void Reload(bool ok) { (ok ? reloads_ok_ : reloads_refused_)++; }
  void Shadow(size_t changes, size_t errors) {
    shadow_changes_ += changes;
    shadow_errors_ += errors;
  }
  // A decision's stages: waiting for a worker, being decided, being recorded.
  void Stages(double queue, double decide, double audit);
  void Replay() { replays_++; }

  // The text of /metrics, with the gauges read at this moment.
  std::string Text(const Gauges& gauges) const;

 private:
  std::array<std::atomic<uint64_t>, 600> requests_{};  // by status code
  Histogram latency_, queue_, decide_, audit_;
  std::atomic<uint64_t> reloads_ok_{0}, reloads_refused_{0}, shadow_changes_{0}, shadow_errors_{0},
      replays_{0};
  mutable txscreen::Mutex mutex_;
  std::map<std::string, uint64_t> hits_ GUARDED_BY(mutex_);
  std::map<std::string, uint64_t> alerts_ GUARDED_BY(mutex_);
  std::map<std::string, uint64_t> outcomes_ GUARDED_BY(mutex_);
};

// `text` as a label value in the Prometheus text format: backslash, quote and newline escaped.
std::string PrometheusLabel(const std::string& text);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_METRICS_H_
