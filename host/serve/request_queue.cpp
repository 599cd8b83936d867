// The requests in flight, single transactions ahead of batches.
#include "request_queue.h"

namespace txhost {

namespace {

// A batch is an array: its first byte that is not white space is a bracket.
bool IsBatch(const std::string& body) {
  const size_t first = body.find_first_not_of(" \t\r\n");
  return first != std::string::npos && body[first] == '[';
}

}  // namespace

bool RequestQueue::Push(std::shared_ptr<const ServedRules> rules, Request request,
                        AnswerDone done) {
  if (inflight_.fetch_add(1) >= bound_) {
    --inflight_;
    return false;
  }
  Job job;
  job.rules = std::move(rules);
  job.batch = IsBatch(request.body);
  job.request = std::move(request);
  job.queued = Clock::now();
  job.answer = std::make_shared<PendingAnswer>(std::move(done), &inflight_);
  {
    txscreen::MutexLock lock(&mutex_);
    (job.batch ? batches_ : singles_).push_back(std::move(job));
  }
  changed_.notify_one();
  return true;
}

bool RequestQueue::Take(std::deque<Job>* from, Job* job) {
  if (from->empty()) return false;
  *job = std::move(from->front());
  from->pop_front();
  deciding_.insert(job->answer);
  return true;
}

RequestQueue::Taken RequestQueue::Next(Job* job, Clock::time_point until) {
  txscreen::MutexLock lock(&mutex_);
  for (;;) {
    if (Take(&singles_, job) || Take(&batches_, job)) return Taken::kJob;
    if (stopping_) return Taken::kStopped;
    if (changed_.wait_until(mutex_, until) == std::cv_status::timeout) {
      if (Take(&singles_, job) || Take(&batches_, job)) return Taken::kJob;
      return stopping_ ? Taken::kStopped : Taken::kTimedOut;
    }
  }
}

bool RequestQueue::NextSingle(Job* job) {
  txscreen::MutexLock lock(&mutex_);
  return Take(&singles_, job);
}

void RequestQueue::Decided(const Job& job) {
  txscreen::MutexLock lock(&mutex_);
  deciding_.erase(job.answer);
}

size_t RequestQueue::AnswerAll(const Answer& answer) {
  std::deque<Job> waiting;
  std::set<std::shared_ptr<PendingAnswer>> deciding;
  {
    txscreen::MutexLock lock(&mutex_);
    waiting.swap(singles_);
    waiting.insert(waiting.end(), std::make_move_iterator(batches_.begin()),
                   std::make_move_iterator(batches_.end()));
    batches_.clear();
    deciding = deciding_;
  }
  size_t answered = 0;
  for (Job& job : waiting) answered += job.answer->Settle(answer);
  for (const auto& pending : deciding) answered += pending->Settle(answer);
  return answered;
}

void RequestQueue::Stop() {
  {
    txscreen::MutexLock lock(&mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

}  // namespace txhost
