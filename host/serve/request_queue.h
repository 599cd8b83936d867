// The requests between the server and the workers: bounded in number, single transactions ahead
// of batches, and each answered exactly once, by its worker or, at a stop's limit, by the stop.
#ifndef TXSCREEN_HOST_SERVE_REQUEST_QUEUE_H_
#define TXSCREEN_HOST_SERVE_REQUEST_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "thread_annotations.h"

namespace txhost {

struct ServedRules;
class Delivery;

// The status an answer has when its client went away before its turn: nothing was decided, and
// nothing is written (nginx logs such a request as 499).
inline constexpr int kClientGone = 499;

// A request's answer: its HTTP status and JSON body.
struct Answer {
  Answer() = default;
  Answer(int status, std::string body) : status(status), body(std::move(body)) {}

  int status = 200;
  std::string body;
  std::string server_timing;  // the Server-Timing field of a decision; empty otherwise
  // For an answer whose decisions the audit holds: told whether the answer reached its client.
  std::shared_ptr<Delivery> delivery;
};

// A request to decide, as the server hands it in.
struct Request {
  std::string body;
  std::string idempotency_key, body_sha256;  // both empty without a key
  std::string trace_id;                      // of its traceparent; empty without a valid one
  // Set once the client is seen to have gone; null when nobody watches.
  std::shared_ptr<const std::atomic<bool>> client_gone;

  bool ClientGone() const { return client_gone && client_gone->load(); }
};

using AnswerDone = std::function<void(Answer)>;

// A request on its way to its answer. Exactly one answer goes out: the first to claim it gives
// it. The request stops counting as in flight once its answer has gone.
class PendingAnswer {
 public:
  PendingAnswer(AnswerDone done, std::atomic<size_t>* inflight)
      : done_(std::move(done)), inflight_(inflight) {}

  // Takes the right to answer; false when an answer went out already. A worker claims before it
  // records a decision, so that no decision is recorded whose answer is not its own.
  bool Claim() { return !claimed_.exchange(true); }
  // Gives the answer of a claim.
  void Give(Answer answer) {
    done_(std::move(answer));
    --*inflight_;
  }
  // Claims and gives `answer`, unless an answer went out already.
  bool Settle(const Answer& answer) {
    if (!Claim()) return false;
    Give(answer);
    return true;
  }

 private:
  std::atomic<bool> claimed_{false};
  AnswerDone done_;
  std::atomic<size_t>* inflight_;
};

struct Job {
  std::shared_ptr<const ServedRules> rules;  // what the request is read and decided against
  Request request;
  bool batch = false;  // an array of transactions, by its first byte
  std::shared_ptr<PendingAnswer> answer;
  std::chrono::steady_clock::time_point queued;
};

class RequestQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RequestQueue(size_t bound) : bound_(bound) {}

  // Queues `request`, read against `rules`; false, and `done` is never called, when `bound`
  // requests are in flight.
  bool Push(std::shared_ptr<const ServedRules> rules, Request request, AnswerDone done)
      EXCLUDES(mutex_);

  enum class Taken { kJob, kTimedOut, kStopped };
  // The next request, single transactions first, waiting until `until` for one. A request taken
  // counts as being decided until Decided. kStopped once stopping with nothing left.
  Taken Next(Job* job, Clock::time_point until) EXCLUDES(mutex_);
  // A single transaction waiting now, if any: a worker deciding a batch serves one between two
  // slices of it.
  bool NextSingle(Job* job) EXCLUDES(mutex_);
  void Decided(const Job& job) EXCLUDES(mutex_);

  // Answers every request waiting or being decided with `answer`; gives how many it answered.
  size_t AnswerAll(const Answer& answer) EXCLUDES(mutex_);
  // Wakes the workers to leave once nothing is left.
  void Stop() EXCLUDES(mutex_);

  size_t inflight() const { return inflight_.load(); }

 private:
  bool Take(std::deque<Job>* from, Job* job) REQUIRES(mutex_);

  const size_t bound_;
  std::atomic<size_t> inflight_{0};
  txscreen::Mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<Job> singles_ GUARDED_BY(mutex_);
  std::deque<Job> batches_ GUARDED_BY(mutex_);
  std::set<std::shared_ptr<PendingAnswer>> deciding_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_REQUEST_QUEUE_H_
