#include "metrics.h"

#include <cstdio>

namespace txhost {
namespace {

void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string* out, const std::string& name, uint64_t value) {
  *out += name + " " + std::to_string(value) + "\n";
}

void Labelled(std::string* out, const char* name, const char* label,
              const std::map<std::string, uint64_t>& values) {
  for (const auto& [key, value] : values) {
    Sample(out, std::string(name) + "{" + label + "=\"" + PrometheusLabel(key) + "\"}", value);
  }
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

std::string PrometheusLabel(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return escaped;
}

void Metrics::Request(int status, double seconds) {
  if (status >= 0 && status < static_cast<int>(requests_.size())) requests_[status]++;
  size_t bucket = 0;
  while (bucket < kBuckets && seconds > kLatencyBuckets[bucket]) ++bucket;
  latency_[bucket]++;
  latency_micros_ += static_cast<uint64_t>(seconds * 1e6);
}

void Metrics::Transaction(const TransactionTally& tally) {
  txscreen::MutexLock lock(&mutex_);
  for (const std::string& label : tally.fired) ++hits_[label];
  for (const std::string& label : tally.alerted) ++alerts_[label];
  if (!tally.outcome.empty()) ++outcomes_[tally.outcome];
}

std::string Metrics::Text(size_t sessions_open, size_t inflight,
                          const std::map<std::string, uint64_t>& list_values) const {
  std::string out;
  Family(&out, "txscreen_requests_total", "counter", "Requests answered, by status code.");
  for (size_t code = 0; code < requests_.size(); ++code) {
    if (uint64_t n = requests_[code].load()) {
      Sample(&out, "txscreen_requests_total{code=\"" + std::to_string(code) + "\"}", n);
    }
  }
  Family(&out, "txscreen_request_seconds", "histogram", "Time from a request read to its answer.");
  uint64_t count = 0;
  for (size_t b = 0; b <= kBuckets; ++b) {
    count += latency_[b].load();
    const std::string bound = b < kBuckets ? Seconds(kLatencyBuckets[b]) : "+Inf";
    Sample(&out, "txscreen_request_seconds_bucket{le=\"" + bound + "\"}", count);
  }
  out += "txscreen_request_seconds_sum " + Seconds(latency_micros_.load() / 1e6) + "\n";
  Sample(&out, "txscreen_request_seconds_count", count);
  {
    txscreen::MutexLock lock(&mutex_);
    Family(&out, "txscreen_check_hits_total", "counter", "Answered transactions a check fired on.");
    Labelled(&out, "txscreen_check_hits_total", "check", hits_);
    Family(&out, "txscreen_outcomes_total", "counter", "Answered transactions by outcome.");
    Labelled(&out, "txscreen_outcomes_total", "outcome", outcomes_);
    Family(&out, "txscreen_alerts_total", "counter", "Alerts raised, by the check that raised them.");
    Labelled(&out, "txscreen_alerts_total", "check", alerts_);
  }
  Family(&out, "txscreen_sessions_open", "gauge", "Workers with an open database session.");
  Sample(&out, "txscreen_sessions_open", sessions_open);
  Family(&out, "txscreen_inflight", "gauge", "Requests being screened or waiting for a worker.");
  Sample(&out, "txscreen_inflight", inflight);
  Family(&out, "txscreen_reloads_total", "counter", "Rule-set reloads, by result.");
  Sample(&out, "txscreen_reloads_total{result=\"ok\"}", reloads_ok_.load());
  Sample(&out, "txscreen_reloads_total{result=\"refused\"}", reloads_refused_.load());
  Family(&out, "txscreen_shadow_changes_total", "counter",
         "Transactions the shadow draft decides otherwise than the live set.");
  Sample(&out, "txscreen_shadow_changes_total", shadow_changes_.load());
  if (!list_values.empty()) {
    Family(&out, "txscreen_list_values", "gauge", "Values of each list the served rule sets use.");
    Labelled(&out, "txscreen_list_values", "list", list_values);
  }
  return out;
}

}  // namespace txhost
