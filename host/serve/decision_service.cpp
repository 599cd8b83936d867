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
// A batch is decided this many transactions at a time, with the single transactions that wait
// decided between two slices: a single decision never waits for a whole batch.
constexpr size_t kSlice = 16;

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

// A decider of the rules it was made for, which it keeps alive.
struct KeptDecider {
  std::shared_ptr<const ServedRules> rules;
  std::unique_ptr<TransactionDecider> decider;

  TransactionDecider& For(const std::shared_ptr<const ServedRules>& wanted) {
    if (!decider || rules != wanted) {
      rules = wanted;
      decider = std::make_unique<TransactionDecider>(*wanted->plan);
    }
    return *decider;
  }
  void Reset() {
    decider.reset();
    rules.reset();
  }
};

struct DecisionService::Worker {
  std::thread thread;
  // One for batches and one for the single transactions served between their slices.
  KeptDecider batches, singles;
  std::unique_ptr<HostSession> session;
  OciHandles handles{};
  Clock::time_point retry_at{};
  Clock::duration backoff = kFirstBackoff;
  std::string session_problem;
};

DecisionService::DecisionService(ServiceSettings settings)
    : settings_(std::move(settings)), queue_(settings_.max_inflight) {}

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

std::map<std::string, uint64_t> DecisionService::ListValues() const {
  std::map<std::string, uint64_t> values;
  std::shared_ptr<const ServedRules> rules = Current();
  for (const auto& list : rules->live->Lists()) values[list->name()] = list->size();
  if (rules->shadow) {
    for (const auto& list : rules->shadow->Lists()) values["shadow:" + list->name()] = list->size();
  }
  return values;
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
  served->sha256 = Sha256Hex(served->live->Fingerprint());
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
  {
    txscreen::MutexLock lock(&service->exits_mutex_);
    service->running_ = service->workers_.size();
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

bool DecisionService::Submit(std::string body, Done done) {
  return queue_.Push(Current(), std::move(body), std::move(done));
}

bool DecisionService::NeedsSession(const Worker& worker) const {
  return settings_.login && !worker.session && Current()->plan->needs_database;
}

void DecisionService::Work(Worker* worker) {
  for (;;) {
    // A worker without its session opens it again as soon as its backoff allows, whether or not
    // requests come, so that readiness comes back on its own.
    Clock::time_point until = Clock::now() + std::chrono::seconds(1);
    if (NeedsSession(*worker)) {
      std::string ignored;
      if (!EnsureSession(worker, &ignored)) until = worker->retry_at;
    }
    Job job;
    const RequestQueue::Taken taken = queue_.Next(&job, until);
    if (taken == RequestQueue::Taken::kStopped) break;
    if (taken == RequestQueue::Taken::kTimedOut) continue;
    Serve(worker, job);
    queue_.Decided(job);
  }
  worker->batches.Reset();
  worker->singles.Reset();
  if (worker->session) LoseSession(worker);
  txscreen::MutexLock lock(&exits_mutex_);
  --running_;
  exited_.notify_all();
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
  // Screeners that saw their session lost are done with.
  worker->batches.Reset();
  worker->singles.Reset();
  ++sessions_open_;
  return true;
}

void DecisionService::LoseSession(Worker* worker) {
  worker->session.reset();
  worker->handles = {};
  worker->batches.Reset();
  worker->singles.Reset();
  worker->retry_at = Clock::now();  // a new one is opened at once
  --sessions_open_;
}

void DecisionService::Serve(Worker* worker, Job& job) {
  Decided decided;
  Answer answer = Decide(worker, job, &decided);
  if (answer.status != 200) {
    job.answer->Settle(answer);
    return;
  }
  Deliver(job, decided);
}

void DecisionService::ServeWaitingSingles(Worker* worker) {
  Job single;
  while (queue_.NextSingle(&single)) {
    Serve(worker, single);
    queue_.Decided(single);
    if (!worker->session && single.rules->plan->needs_database) return;
  }
}

Answer DecisionService::Decide(Worker* worker, Job& job, Decided* decided) {
  const DecisionPlan& plan = *job.rules->plan;
  std::string reason;
  if (plan.needs_database && !EnsureSession(worker, &reason)) return {503, ErrorJson(reason)};
  RequestRows rows;
  PadForReading(&job.body);
  switch (ReadRequestRows(job.body, plan.header, &rows, &reason)) {
    case RequestError::kMalformed: return {400, ErrorJson(reason)};
    case RequestError::kUnprocessable: return {422, ErrorJson(reason)};
    case RequestError::kNone: break;
  }
  if (!rows.batch && !rows.problems[0].empty()) return {422, ErrorJson(rows.problems[0])};
  // Reading a batch took a while: the single transactions that came meanwhile go first.
  if (job.batch) ServeWaitingSingles(worker);
  if (plan.needs_database && !worker->session) {
    return {503, ErrorJson("the database session was lost while the batch was decided")};
  }
  TransactionDecider* decider = &(job.batch ? worker->batches : worker->singles).For(job.rules);
  const std::string time = UtcNow();
  decided->body = rows.batch ? "[" : "";
  decided->body.reserve(rows.records.size() * 320);
  RowResult result;
  for (size_t r = 0; r < rows.records.size(); ++r) {
    if (job.batch && r > 0 && r % kSlice == 0) {
      ServeWaitingSingles(worker);
      if (plan.needs_database && !worker->session) {
        return {503, ErrorJson("the database session was lost while the batch was decided")};
      }
      decider = &worker->batches.For(job.rules);
    }
    const CsvRecord& record = rows.records[r];
    const std::string_view id = record.fields[plan.id_column];
    if (r > 0) decided->body += ",";
    if (!rows.problems[r].empty()) {
      decided->body += RejectedJson(id, rows.problems[r]);
      continue;
    }
    decider->Decide(record, worker->handles, &result);
    if (result.on_lost_session) {
      std::string lost =
          result.alerts.empty() ? "the connection is gone" : result.alerts.back().text;
      LoseSession(worker);
      return {503, ErrorJson("the database session was lost: " + lost)};
    }
    if (!result.reject.empty()) {
      if (!rows.batch) return {422, ErrorJson(result.reject)};
      decided->body += RejectedJson(id, result.reject);
      continue;
    }
    Add(*job.rules, id, result, time, decided);
  }
  if (rows.batch) decided->body += "]";
  return {200, ""};
}

void DecisionService::Add(const ServedRules& rules, std::string_view id, const RowResult& result,
                          const std::string& time, Decided* decided) const {
  const DecisionPlan& plan = *rules.plan;
  AppendAnswerJson(plan, id, result, &decided->body);
  if (settings_.audit != nullptr) {
    decided->audit += AuditJson(plan, id, result, time, rules.sha256) + "\n";
  }
  std::string change = ShadowChangeJson(plan, id, result);
  if (!change.empty()) {
    decided->changes += change + "\n";
    ++decided->shadow_changes;
  }
  decided->tallies.push_back(TallyOf(plan, result));
}

void DecisionService::Deliver(const Job& job, const Decided& decided) {
  // A request answered already (at a stop's limit) has no decision to record.
  if (!job.answer->Claim()) return;
  // A decision that is not recorded is not given.
  for (LineLog* log : {settings_.audit, settings_.changes}) {
    const std::string& lines = log == settings_.audit ? decided.audit : decided.changes;
    if (log != nullptr && !lines.empty() && !log->Append(lines)) {
      return job.answer->Give({503, ErrorJson("cannot record the decision: " + log->failure())});
    }
  }
  Count(decided);
  job.answer->Give({200, decided.body});
}

void DecisionService::Count(const Decided& decided) {
  if (settings_.metrics == nullptr) return;
  for (const TransactionTally& tally : decided.tallies) settings_.metrics->Transaction(tally);
  for (size_t n = 0; n < decided.shadow_changes; ++n) settings_.metrics->ShadowChange();
}

size_t DecisionService::AnswerTheRest(const std::string& reason) {
  return queue_.AnswerAll({503, ErrorJson(reason)});
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

bool DecisionService::Stop(std::string* error, Clock::time_point until) {
  if (stopped_) return true;
  stopped_ = true;
  queue_.Stop();
  {
    txscreen::MutexLock lock(&exits_mutex_);
    while (running_ > 0) {
      if (until == Clock::time_point::max()) {
        exited_.wait(exits_mutex_);
      } else if (exited_.wait_until(exits_mutex_, until) == std::cv_status::timeout) {
        break;
      }
    }
    abandoned_ = running_ > 0;
  }
  for (auto& worker : workers_) {
    // A worker still in a database call past the limit is left to the process's exit, with its
    // request answered already: it records nothing when it comes back.
    if (!worker->thread.joinable()) continue;
    if (abandoned_) {
      worker->thread.detach();
    } else {
      worker->thread.join();
    }
  }
  if (abandoned_) {
    for (auto& worker : workers_) worker.release();  // still in use by its thread
  }
  workers_.clear();
  if (!abandoned_) routing_.reset();
  if (SyncLogs()) return true;
  for (LineLog* log : {settings_.audit, settings_.changes}) {
    if (log != nullptr && log->failed()) *error = log->failure();
  }
  return false;
}

}  // namespace txhost
