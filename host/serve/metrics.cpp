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

void Histogram::Add(double seconds) {
  size_t bucket = 0;
  while (bucket < kBuckets && seconds > kLatencyBuckets[bucket]) ++bucket;
  counts_[bucket]++;
  micros_ += static_cast<uint64_t>(seconds * 1e6);
}

void Histogram::Write(std::string* out, const std::string& name, const std::string& labels) const {
  const std::string before = labels.empty() ? "" : labels + ",";
  uint64_t count = 0;
  for (size_t b = 0; b <= kBuckets; ++b) {
    count += counts_[b].load();
    const std::string bound = b < kBuckets ? Seconds(kLatencyBuckets[b]) : "+Inf";
    Sample(out, name + "_bucket{" + before + "le=\"" + bound + "\"}", count);
  }
  const std::string braced = labels.empty() ? "" : "{" + labels + "}";
  *out += name + "_sum" + braced + " " + Seconds(micros_.load() / 1e6) + "\n";
  Sample(out, name + "_count" + braced, count);
}

void Metrics::Request(int status, double seconds) {
  if (status >= 0 && status < static_cast<int>(requests_.size())) requests_[status]++;
  latency_.Add(seconds);
}

void Metrics::Stages(double queue, double decide, double audit) {
  queue_.Add(queue);
  decide_.Add(decide);
  audit_.Add(audit);
}

void Metrics::Transaction(const TransactionTally& tally) {
  txscreen::MutexLock lock(&mutex_);
  for (const std::string& label : tally.fired) ++hits_[label];
  for (const std::string& label : tally.alerted) ++alerts_[label];
  if (!tally.outcome.empty()) ++outcomes_[tally.outcome];
}

std::string Metrics::Text(const Gauges& gauges) const {
  std::string out;
  Family(&out, "txscreen_requests_total", "counter", "Requests answered, by status code.");
  for (size_t code = 0; code < requests_.size(); ++code) {
    if (uint64_t n = requests_[code].load()) {
      Sample(&out, "txscreen_requests_total{code=\"" + std::to_string(code) + "\"}", n);
    }
  }
  Family(&out, "txscreen_request_seconds", "histogram", "Time from a request read to its answer.");
  latency_.Write(&out, "txscreen_request_seconds", "");
  Family(&out, "txscreen_stage_seconds", "histogram",
         "Time of each stage of a decision: queue (waiting for a worker), decide, audit.");
  for (const auto& [stage, histogram] :
       {std::pair{"queue", &queue_}, std::pair{"decide", &decide_}, std::pair{"audit", &audit_}}) {
    histogram->Write(&out, "txscreen_stage_seconds", std::string("stage=\"") + stage + "\"");
  }
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
  Sample(&out, "txscreen_sessions_open", gauges.sessions_open);
  Family(&out, "txscreen_inflight", "gauge", "Requests being screened or waiting for a worker.");
  Sample(&out, "txscreen_inflight", gauges.inflight);
  Family(&out, "txscreen_reloads_total", "counter", "Rule-set reloads, by result.");
  Sample(&out, "txscreen_reloads_total{result=\"ok\"}", reloads_ok_.load());
  Sample(&out, "txscreen_reloads_total{result=\"refused\"}", reloads_refused_.load());
  Family(&out, "txscreen_shadow_changes_total", "counter",
         "Transactions the shadow draft decides otherwise than the live set.");
  Sample(&out, "txscreen_shadow_changes_total", shadow_changes_.load());
  Family(&out, "txscreen_shadow_errors_total", "counter",
         "Transactions the shadow draft could not decide (a column missing, a value it rejects).");
  Sample(&out, "txscreen_shadow_errors_total", shadow_errors_.load());
  Family(&out, "txscreen_undelivered_total", "counter",
         "Decided transactions whose answer did not reach the client.");
  Sample(&out, "txscreen_undelivered_total", gauges.undelivered);
  Family(&out, "txscreen_idempotent_replays_total", "counter",
         "Retries answered with the first answer of their Idempotency-Key.");
  Sample(&out, "txscreen_idempotent_replays_total", replays_.load());
  Family(&out, "txscreen_idempotency_keys", "gauge", "Idempotency keys kept.");
  Sample(&out, "txscreen_idempotency_keys", gauges.idempotency_keys);
  Family(&out, "txscreen_idempotency_bytes", "gauge",
         "Bytes the kept idempotency keys and their answers take.");
  Sample(&out, "txscreen_idempotency_bytes", gauges.idempotency_bytes);
  Family(&out, "txscreen_idempotency_evicted_total", "counter",
         "Idempotency keys let go before their window ended, to stay within the bounds.");
  Sample(&out, "txscreen_idempotency_evicted_total", gauges.idempotency_evicted);
  if (!gauges.list_values.empty()) {
    Family(&out, "txscreen_list_values", "gauge", "Values of each list the served rule sets use.");
    Labelled(&out, "txscreen_list_values", "list", gauges.list_values);
  }
  return out;
}

}  // namespace txhost
