// The workers: each takes the next request, screens its transactions on its own session,
// records them, and answers.
#include "decision_service.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "json_line.h"
#include "sha256.h"

namespace txhost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstBackoff = std::chrono::milliseconds(100);
constexpr auto kLongestBackoff = std::chrono::seconds(5);

std::string ErrorJson(const std::string& message) {
  return JsonObject().Text("error", message).Close();
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

// What one answered transaction adds to the metrics: the live set's view of it.
TransactionTally TallyOf(const DecisionPlan& plan, const RowResult& result) {
  TransactionTally tally;
  tally.fired = LiveFiredLabels(plan, result);
  for (const RaisedAlert& alert : result.alerts) {
    if (const std::string* label = LiveLabel(plan, alert.check)) tally.alerted.push_back(*label);
  }
  const Decisions& decisions = plan.pair.live_decisions;
  if (!decisions.outcomes.empty()) {
    tally.outcome = decisions.outcomes[result.live_decision.outcome].name;
  }
  return tally;
}

}  // namespace

// What a request's transactions come to: the body, the lines to record and what to count.
struct DecisionService::Decided {
  std::string body, audit, changes;
  std::vector<TransactionTally> tallies;
  size_t shadow_changes = 0;
};

struct DecisionService::Worker {
  std::thread thread;
  // The decider of the rules it last screened with, which it keeps alive.
  std::shared_ptr<const ServedRules> rules;
  std::unique_ptr<TransactionDecider> decider;
  std::unique_ptr<HostSession> session;
  OciHandles handles{};
  Clock::time_point retry_at{};
  Clock::duration backoff = kFirstBackoff;
  std::string session_problem;
};

DecisionService::DecisionService(ServiceSettings settings) : settings_(std::move(settings)) {}

std::string UtcNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm utc;
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis.count()));
  return text;
}

std::shared_ptr<ServedRules> DecisionService::Load(std::string* error) const {
  auto served = std::make_shared<ServedRules>();
  served->live = RuleSet::Open(settings_.rules, settings_.library_directory, error);
  if (!served->live) return nullptr;
  if (!settings_.shadow.empty()) {
    served->shadow = RuleSet::Open(settings_.shadow, settings_.library_directory, error);
    if (!served->shadow) return nullptr;
  }
  std::vector<std::string> problems;
  served->plan = PlanDecisions(*served->live, served->shadow.get(), settings_.id_column, &problems);
  if (!served->plan) {
    *error = Joined(problems);
    return nullptr;
  }
  if (served->plan->needs_database && !settings_.login) {
    *error = settings_.rules + ": its database rules need a login, and the server has none; " +
             "start it again with --connect";
    return nullptr;
  }
  served->sha256 = Sha256Hex(served->live->text());
  return served;
}

std::unique_ptr<DecisionService> DecisionService::Start(ServiceSettings settings,
                                                        std::string* error) {
  std::unique_ptr<DecisionService> service(new DecisionService(std::move(settings)));
  std::shared_ptr<ServedRules> rules = service->Load(error);
  if (!rules) return nullptr;
  rules->generation = ++service->generations_;
  {
    txscreen::MutexLock lock(&service->rules_mutex_);
    service->current_ = rules;
  }
  // The libraries are loaded: from now on their alerts reach the worker that raised them.
  std::vector<const DynamicLibrary*> libraries = rules->live->libraries().Loaded();
  service->routing_ = std::make_unique<AlertRouting>(libraries);
  const unsigned count = std::max(1u, service->settings_.workers);
  for (unsigned w = 0; w < count; ++w) service->workers_.push_back(std::make_unique<Worker>());
  if (rules->plan->needs_database) {
    // Every login at once: a server far away costs one round trip's wait, not one per worker.
    std::vector<std::string> problems(count);
    std::vector<std::thread> logins;
    for (unsigned w = 0; w < count; ++w) {
      logins.emplace_back([&, w] { service->EnsureSession(service->workers_[w].get(), &problems[w]); });
    }
    for (std::thread& login : logins) login.join();
    for (const std::string& problem : problems) {
      if (problem.empty()) continue;
      *error = problem;
      return nullptr;  // the sessions opened so far close with their workers
    }
  }
  for (auto& worker : service->workers_) {
    worker->thread = std::thread([s = service.get(), w = worker.get()] { s->Work(w); });
  }
  return service;
}

DecisionService::~DecisionService() {
  std::string ignored;
  Stop(&ignored);
  if (settings_.login) {
    std::fill(settings_.login->password.begin(), settings_.login->password.end(), '\0');
  }
}

std::shared_ptr<const ServedRules> DecisionService::Current() const {
  txscreen::MutexLock lock(&rules_mutex_);
  return current_;
}

bool DecisionService::Reload(std::string* message) {
  std::string error;
  std::shared_ptr<ServedRules> rules = Load(&error);
  if (settings_.metrics != nullptr) settings_.metrics->Reload(rules != nullptr);
  if (!rules) {
    // One line: the first problem, and how many more the file has.
    const size_t lines = std::count(error.begin(), error.end(), '\n');
    *message = "reload refused, the last good rule set stays: " + error.substr(0, error.find('\n')) +
               (lines > 0 ? " (and " + std::to_string(lines) + " more problems)" : "");
    return false;
  }
  rules->generation = ++generations_;
  *message = "reloaded " + settings_.rules + " (sha256 " + rules->sha256.substr(0, 12) + ")";
  txscreen::MutexLock lock(&rules_mutex_);
  current_ = std::move(rules);
  return true;
}

bool DecisionService::Submit(std::shared_ptr<const ServedRules> rules, RequestRows rows,
                             Done done) {
  if (inflight_.fetch_add(1) >= settings_.max_inflight) {
    inflight_.fetch_sub(1);
    return false;
  }
  {
    txscreen::MutexLock lock(&queue_mutex_);
    queue_.push_back({std::move(rules), std::move(rows), std::move(done)});
  }
  queue_changed_.notify_one();
  return true;
}

void DecisionService::Work(Worker* worker) {
  for (;;) {
    Job job;
    {
      txscreen::MutexLock lock(&queue_mutex_);
      while (queue_.empty() && !stopping_) queue_changed_.wait(queue_mutex_);
      if (queue_.empty()) break;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    Answer answer = Decide(worker, job);
    inflight_.fetch_sub(1);
    job.done(std::move(answer));
  }
  worker->decider.reset();
  if (worker->session) LoseSession(worker);
}

bool DecisionService::EnsureSession(Worker* worker, std::string* reason) {
  if (worker->session) return true;
  const Clock::time_point now = Clock::now();
  if (now < worker->retry_at) {
    *reason = "no database session: " + worker->session_problem + "; trying again in " +
              std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 worker->retry_at - now).count()) + " ms";
    return false;
  }
  std::string error;
  worker->session = HostSession::Open(*settings_.login, true, &error);
  if (!worker->session) {
    worker->session_problem = error;
    worker->retry_at = now + worker->backoff;
    worker->backoff = std::min<Clock::duration>(worker->backoff * 2, kLongestBackoff);
    *reason = "no database session: " + error;
    return false;
  }
  worker->handles = worker->session->handles();
  worker->backoff = kFirstBackoff;
  worker->decider.reset();  // a screener that saw its session lost is done with
  ++sessions_open_;
  return true;
}

void DecisionService::LoseSession(Worker* worker) {
  worker->session.reset();
  worker->handles = {};
  worker->decider.reset();
  worker->retry_at = Clock::now();  // the next request opens a new one at once
  --sessions_open_;
}

Answer DecisionService::Decide(Worker* worker, const Job& job) {
  const DecisionPlan& plan = *job.rules->plan;
  std::string reason;
  if (plan.needs_database && !EnsureSession(worker, &reason)) return {503, ErrorJson(reason)};
  if (!worker->decider || worker->rules != job.rules) {
    worker->rules = job.rules;
    worker->decider = std::make_unique<TransactionDecider>(plan);
  }
  const RequestRows& rows = job.rows;
  const std::string time = UtcNow();
  Decided decided;
  decided.body = rows.batch ? "[" : "";
  decided.body.reserve(rows.records.size() * 320);
  RowResult result;
  for (size_t r = 0; r < rows.records.size(); ++r) {
    const CsvRecord& record = rows.records[r];
    const std::string_view id = record.fields[plan.id_column];
    if (r > 0) decided.body += ",";
    if (!rows.problems[r].empty()) {
      decided.body += RejectedJson(id, rows.problems[r]);
      continue;
    }
    worker->decider->Decide(record, worker->handles, &result);
    if (result.on_lost_session) {
      std::string lost =
          result.alerts.empty() ? "the connection is gone" : result.alerts.back().text;
      LoseSession(worker);
      return {503, ErrorJson("the database session was lost: " + lost)};
    }
    if (!result.reject.empty()) {
      if (!rows.batch) return {422, ErrorJson(result.reject)};
      decided.body += RejectedJson(id, result.reject);
      continue;
    }
    AppendAnswerJson(plan, id, result, &decided.body);
    if (settings_.audit != nullptr) {
      decided.audit += AuditJson(plan, id, result, time, job.rules->sha256) + "\n";
    }
    std::string change = ShadowChangeJson(plan, id, result);
    if (!change.empty()) {
      decided.changes += change + "\n";
      ++decided.shadow_changes;
    }
    decided.tallies.push_back(TallyOf(plan, result));
  }
  // A decision that is not recorded is not given.
  for (LineLog* log : {settings_.audit, settings_.changes}) {
    const std::string& lines = log == settings_.audit ? decided.audit : decided.changes;
    if (log != nullptr && !lines.empty() && !log->Append(lines)) {
      return {503, ErrorJson("cannot record the decision: " + log->failure())};
    }
  }
  Count(decided);
  return {200, rows.batch ? decided.body + "]" : decided.body};
}

void DecisionService::Count(const Decided& decided) {
  if (settings_.metrics == nullptr) return;
  for (const TransactionTally& tally : decided.tallies) settings_.metrics->Transaction(tally);
  for (size_t n = 0; n < decided.shadow_changes; ++n) settings_.metrics->ShadowChange();
}

bool DecisionService::Ready(std::string* reason) const {
  std::shared_ptr<const ServedRules> rules = Current();
  if (rules->plan->needs_database && sessions_open_.load() < workers_.size()) {
    *reason = std::to_string(workers_.size() - sessions_open_.load()) + " of " +
              std::to_string(workers_.size()) + " workers have no database session";
    return false;
  }
  for (LineLog* log : {settings_.audit, settings_.changes}) {
    if (log != nullptr && log->failed()) {
      *reason = "cannot record decisions: " + log->failure();
      return false;
    }
  }
  return true;
}

bool DecisionService::SyncLogs() {
  bool synced = true;
  for (LineLog* log : {settings_.audit, settings_.changes}) {
    if (log != nullptr) synced = log->Sync() && synced;
  }
  return synced;
}

bool DecisionService::Stop(std::string* error) {
  if (stopped_) return true;
  stopped_ = true;
  {
    txscreen::MutexLock lock(&queue_mutex_);
    stopping_ = true;
  }
  queue_changed_.notify_all();
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
  workers_.clear();
  routing_.reset();
  if (SyncLogs()) return true;
  for (LineLog* log : {settings_.audit, settings_.changes}) {
    if (log != nullptr && log->failed()) *error = log->failure();
  }
  return false;
}

}  // namespace txhost
