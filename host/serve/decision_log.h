// What the server records of its decisions: each request's audit lines and the draft's change
// lines, written together, whole or not at all; a line for each decision whose answer did not
// reach its client; and the answers of requests with an idempotency key, which a restart reads
// back. Either log may be absent.
#ifndef TXSCREEN_HOST_SERVE_DECISION_LOG_H_
#define TXSCREEN_HOST_SERVE_DECISION_LOG_H_

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "line_log.h"
#include "thread_annotations.h"

namespace txhost {

class Delivery;

class DecisionLog {
 public:
  DecisionLog(LineLog* audit, LineLog* changes) : audit_(audit), changes_(changes) {}

  // Appends a request's change lines, then its audit lines (either may be empty): both go in
  // whole, or neither does. False with "path: reason" when they cannot.
  bool Record(const std::string& change_lines, const std::string& audit_lines, std::string* failure)
      EXCLUDES(mutex_);
  // Says in the audit that the answer of each of `ids` did not reach its client, and why.
  void Undelivered(const std::vector<std::string>& ids, const std::string& reason);
  // Undelivered for every answer still on its way: at a stop, once no connection is served.
  // Gives how many there were.
  size_t UndeliverAll(const std::string& reason) EXCLUDES(deliveries_mutex_);

  // Whether decisions can be recorded; false with the reason.
  bool CanRecord(std::string* reason) const;
  // Whether every log is sound and names its file; false with the reason.
  bool Ready(std::string* reason) const;
  // Puts the logs on the disk. False when a sync fails.
  bool Sync();
  // Whether every sync so far succeeded; false and "path: reason" otherwise.
  bool SyncedAll(std::string* reason) const;
  // Reopens every log at its path; the line that says what happened.
  std::string Reopen();
  // Once a second: the lines that say what changed about the logs (LineLog::Check).
  std::vector<std::string> Check();
  bool audits() const { return audit_ != nullptr; }
  uint64_t undelivered() const { return undelivered_.load(); }

 private:
  friend class Delivery;
  std::vector<LineLog*> Logs() const;

  LineLog* const audit_;
  LineLog* const changes_;
  // Held across both logs' appends, so that no other request's lines come between a request's
  // change lines and its audit lines, and the first can be cut back when the second fails.
  txscreen::Mutex mutex_;
  std::atomic<uint64_t> undelivered_{0};
  txscreen::Mutex deliveries_mutex_;
  std::set<Delivery*> deliveries_ GUARDED_BY(deliveries_mutex_);
};

// An answer on its way, whose transactions the audit holds as decided: when it does not reach
// its client, the audit says so, once.
class Delivery {
 public:
  Delivery(DecisionLog* log, std::vector<std::string> ids);
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  void Delivered() { settled_ = true; }
  // False when the delivery was told already.
  bool Undelivered(const std::string& reason);

 private:
  DecisionLog* const log_;
  const std::vector<std::string> ids_;
  std::atomic<bool> settled_{false};
};

// The time as the audit writes it: UTC, to the millisecond ("2026-12-09T06:40:01.123Z").
std::string UtcNow();

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_DECISION_LOG_H_
