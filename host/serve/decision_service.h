// The decisions behind the server: the rule set being served, bound once and swapped whole on a
// reload, and a pool of workers, each on a database session of its own, that screen requests'
// transactions, record them and answer. No HTTP here: the server hands requests in and is called
// back with each answer.
#ifndef TXSCREEN_HOST_SERVE_DECISION_SERVICE_H_
#define TXSCREEN_HOST_SERVE_DECISION_SERVICE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alert_capture.h"
#include "decision_log.h"
#include "metrics.h"
#include "request_queue.h"
#include "request_rows.h"
#include "rule_set.h"
#include "session.h"
#include "thread_annotations.h"
#include "transaction_decision.h"

namespace txhost {

// A rule set as it is served: read, checked and bound once. Requests hold the one they started
// with, so that a reload never changes a request half-way.
struct ServedRules {
  std::unique_ptr<RuleSet> live, shadow;
  std::unique_ptr<DecisionPlan> plan;
  // With a shadow, the live set alone, for a transaction the draft cannot take: it reads the
  // first `live_columns` of plan's header, which a request must carry; the draft's own columns
  // may be missing.
  std::unique_ptr<DecisionPlan> live_alone;
  size_t live_columns = 0;
  std::string sha256;  // of the live set's text and lists, which every audit line names
  std::string shadow_sha256;
  uint64_t generation = 0;
};

struct ServiceSettings {
  std::string rules, shadow;  // paths; shadow empty without a draft
  std::string library_directory;
  std::string id_column = "id";
  unsigned workers = 1;
  size_t max_inflight = 64;  // requests being screened or waiting; more are turned away
  std::optional<ConnectString> login;  // for sets with database rules
  DecisionLog* log = nullptr;          // the audit and the changes, either absent; null: neither
  Metrics* metrics = nullptr;
};

class DecisionService {
 public:
  // Reads and binds the rule sets, and logs every worker in, all at once. Null and the reason,
  // every problem of the sets on a line of its own, when any of it fails.
  static std::unique_ptr<DecisionService> Start(ServiceSettings settings, std::string* error);
  ~DecisionService();  // Stop()
  DecisionService(const DecisionService&) = delete;
  DecisionService& operator=(const DecisionService&) = delete;

  // The rules new requests are read against.
  std::shared_ptr<const ServedRules> Current() const;
  // The rule sets served, as a line names them: each path and digest.
  std::string Describe(const ServedRules& rules) const;
  // Reads and checks the sets again and, when they can be used, serves them from now on. The
  // line that says which happened goes to `message`.
  bool Reload(std::string* message);

  using Done = AnswerDone;
  // Hands a request's body, to be read against the rules served now, to the next free worker,
  // which calls `done` on its own thread. Single transactions go ahead of batches, and a batch
  // is decided in slices with the single transactions that wait served between them. False,
  // and `done` is never called, when the requests in flight are at their bound.
  bool Submit(Request request, Done done);

  size_t inflight() const { return queue_.inflight(); }
  // The values of each list the served sets use, by name; the draft's named "shadow:NAME".
  std::map<std::string, uint64_t> ListValues() const;
  size_t sessions_open() const { return sessions_open_.load(); }
  // Decided transactions whose answers did not reach their clients.
  uint64_t undelivered() const { return settings_.log->undelivered(); }
  // Whether every worker can decide and every log can record: false with the reason.
  bool Ready(std::string* reason) const;
  // At a stop's limit: answers every request still waiting or being decided with 503; a
  // decision finished after this is neither recorded nor answered. Gives how many it answered.
  size_t AnswerTheRest(const std::string& reason);
  // Lets the workers finish what was handed in, waiting for them until `until`, then closes
  // their sessions, says in the audit which answers did not reach their clients, and syncs the
  // logs. A worker still in a database call then is left to the process's exit (abandoned()
  // says so). False with the reason when a log could not be put on the disk, then or before.
  bool Stop(std::string* error,
            std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());
  bool abandoned() const { return abandoned_; }

 private:
  struct Worker;
  struct Decided;

  explicit DecisionService(ServiceSettings settings);
  std::shared_ptr<ServedRules> Load(std::string* error) const;
  void Work(Worker* worker);
  // Decides and answers `job`.
  void Serve(Worker* worker, Job& job);
  // The job's answer, or its decisions in `decided` (status 200). Its body is read in place.
  Answer Decide(Worker* worker, Job& job, Decided* decided);
  // Decides one transaction of the job's into `decided`; a single transaction's reject or a
  // lost session is the answer, status 200 otherwise.
  Answer DecideOne(Worker* worker, const Job& job, const CsvRecord& record,
                   const std::string& draft_problem, Decided* decided);
  // One transaction's answer, audit and change lines and metrics, added to `decided`, as
  // `plan` decided it.
  void Add(const Job& job, const DecisionPlan& plan, std::string_view id, const RowResult& result,
           Decided* decided) const;
  // Records what was decided and answers, unless the request was answered already.
  void Deliver(const Job& job, Decided& decided);
  void ServeWaitingSingles(Worker* worker);
  void Count(const Decided& decided);
  // Opens the worker's session when it has none and its backoff has passed. False with the
  // reason while it cannot.
  bool EnsureSession(Worker* worker, std::string* reason);
  void LoseSession(Worker* worker);
  bool NeedsSession(const Worker& worker) const;

  ServiceSettings settings_;
  DecisionLog no_log_{nullptr, nullptr};  // the log of a service started without one
  std::unique_ptr<AlertRouting> routing_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<size_t> sessions_open_{0};
  std::atomic<uint64_t> generations_{0};
  RequestQueue queue_;

  mutable txscreen::Mutex rules_mutex_;
  std::shared_ptr<const ServedRules> current_ GUARDED_BY(rules_mutex_);

  txscreen::Mutex exits_mutex_;
  std::condition_variable_any exited_;
  size_t running_ GUARDED_BY(exits_mutex_) = 0;
  bool stopped_ = false;
  bool abandoned_ = false;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_DECISION_SERVICE_H_
