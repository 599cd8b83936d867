// The workers: each takes the next request, screens its transactions on its own session,
// records them, and answers.
#include "decision_service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "json_line.h"
#include "keyed_answers.h"
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

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// The W3C Server-Timing field of a decision: its stages, in milliseconds.
std::string ServerTiming(double queue, double decide, double audit) {
  char text[128];
  std::snprintf(text, sizeof text, "queue;dur=%.3f, decide;dur=%.3f, audit;dur=%.3f", queue * 1e3,
                decide * 1e3, audit * 1e3);
  return text;
}

// A change line closed with what traces it: both sets' digests and the request's trace.
std::string Tagged(JsonObject line, const ServedRules& rules, const Request& request) {
  line.Text("live_sha256", rules.sha256).Text("draft_sha256", rules.shadow_sha256);
  if (!request.trace_id.empty()) line.Text("trace_id", request.trace_id);
  return line.Close();
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
  std::string time;  // when it was decided, as every line of it says
  std::string body, audit, changes;
  std::vector<std::string> ids;  // of the transactions decided, in the audit once recorded
  std::vector<TransactionTally> tallies;
  size_t shadow_changes = 0, shadow_errors = 0;
  double queue_seconds = 0, decide_seconds = 0;
};

// A decider of the plan it was made for, whose rules it keeps alive.
struct KeptDecider {
  std::shared_ptr<const ServedRules> rules;
  const DecisionPlan* plan = nullptr;
  std::unique_ptr<TransactionDecider> decider;

  TransactionDecider& For(const std::shared_ptr<const ServedRules>& wanted,
                          const DecisionPlan& wanted_plan) {
    if (!decider || rules != wanted || plan != &wanted_plan) {
      rules = wanted;
      plan = &wanted_plan;
      decider = std::make_unique<TransactionDecider>(wanted_plan);
    }
    return *decider;
  }
  void Reset() {
    decider.reset();
    rules.reset();
    plan = nullptr;
  }
};

struct DecisionService::Worker {
  std::thread thread;
  // One for batches and one for the single transactions served between their slices; with a
  // shadow, one more for the live set alone, for transactions the draft cannot take.
  KeptDecider batches, singles, live_alone;
  RowResult result;
  CsvRecord live_record;  // a record's live columns, for the live set alone
  std::unique_ptr<HostSession> session;
  OciHandles handles{};
  Clock::time_point retry_at{};
  Clock::duration backoff = kFirstBackoff;
  std::string session_problem;

  void ResetDeciders() {
    batches.Reset();
    singles.Reset();
    live_alone.Reset();
  }
};

DecisionService::DecisionService(ServiceSettings settings)
    : settings_(std::move(settings)), queue_(settings_.max_inflight) {
  if (settings_.log == nullptr) settings_.log = &no_log_;
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
  served->live_columns = served->plan->header.size();
  if (served->shadow) {
    served->shadow_sha256 = Sha256Hex(served->shadow->Fingerprint());
    served->live_alone = PlanDecisions(*served->live, nullptr, settings_.id_column, &problems);
    // The live set reads the plan's first columns, so that one request's fields serve both.
    const auto& header = served->plan->header;
    const auto& live_header = served->live_alone->header;
    if (!std::equal(live_header.begin(), live_header.end(), header.begin())) {
      *error = settings_.rules + ": internal error: the live set's columns are not the first";
      return nullptr;
    }
    served->live_columns = live_header.size();
  }
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
  *message = "reloaded " + Describe(*rules);
  txscreen::MutexLock lock(&rules_mutex_);
  current_ = std::move(rules);
  return true;
}

bool DecisionService::Submit(Request request, Done done) {
  return queue_.Push(Current(), std::move(request), std::move(done));
}

std::string DecisionService::Describe(const ServedRules& rules) const {
  return settings_.rules + " (sha256 " + rules.sha256.substr(0, 12) + ")" +
         (rules.shadow ? ", shadow " + settings_.shadow + " (sha256 " +
                             rules.shadow_sha256.substr(0, 12) + ")"
                       : "");
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
  worker->ResetDeciders();
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
  worker->ResetDeciders();
  ++sessions_open_;
  return true;
}

void DecisionService::LoseSession(Worker* worker) {
  worker->session.reset();
  worker->handles = {};
  worker->ResetDeciders();
  worker->retry_at = Clock::now();  // a new one is opened at once
  --sessions_open_;
}

void DecisionService::Serve(Worker* worker, Job& job) {
  if (job.request.ClientGone()) {
    job.answer->Settle({kClientGone, ErrorJson("the client went away before its turn came")});
    return;
  }
  std::string reason;
  // A decision that cannot be recorded is not given, so it is not made either.
  if (!settings_.log->CanRecord(&reason)) {
    job.answer->Settle({503, ErrorJson(reason)});
    return;
  }
  Decided decided;
  const Clock::time_point taken = Clock::now();
  decided.queue_seconds = Seconds(taken - job.queued);
  Answer answer = Decide(worker, job, &decided);
  decided.decide_seconds = Seconds(Clock::now() - taken);
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
  const ServedRules& rules = *job.rules;
  const DecisionPlan& plan = *rules.plan;
  std::string reason;
  if (plan.needs_database && !EnsureSession(worker, &reason)) return {503, ErrorJson(reason)};
  RequestRows rows;
  PadForReading(&job.request.body);
  switch (ReadRequestRows(job.request.body, plan.header, rules.live_columns, &rows, &reason)) {
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
  decided->time = UtcNow();
  decided->body = rows.batch ? "[" : "";
  decided->body.reserve(rows.records.size() * 320);
  for (size_t r = 0; r < rows.records.size(); ++r) {
    if (job.batch && r > 0 && r % kSlice == 0) {
      ServeWaitingSingles(worker);
      if (plan.needs_database && !worker->session) {
        return {503, ErrorJson("the database session was lost while the batch was decided")};
      }
    }
    const CsvRecord& record = rows.records[r];
    if (r > 0) decided->body += ",";
    if (!rows.problems[r].empty()) {
      decided->body += RejectedJson(record.fields[plan.id_column], rows.problems[r]);
      continue;
    }
    Answer answer = DecideOne(worker, job, record, rows.draft_problems[r], decided);
    if (answer.status != 200) return answer;
  }
  if (rows.batch) decided->body += "]";
  return {200, ""};
}

Answer DecisionService::DecideOne(Worker* worker, const Job& job, const CsvRecord& record,
                                  const std::string& draft_problem, Decided* decided) {
  const ServedRules& rules = *job.rules;
  const DecisionPlan* plan = rules.plan.get();
  const std::string_view id = record.fields[plan->id_column];
  RowResult& result = worker->result;
  std::string draft_error = draft_problem;
  KeptDecider& kept = job.batch ? worker->batches : worker->singles;
  if (draft_error.empty()) {
    kept.For(job.rules, *plan).Decide(record, worker->handles, &result);
    // The draft may reject what the live set takes: the live set decides alone then.
    if (!result.on_lost_session && !result.reject.empty() && rules.live_alone) {
      draft_error = result.reject;
    }
  }
  if (!draft_error.empty()) {
    plan = rules.live_alone.get();
    // The live set's fields are the record's first ones.
    CsvRecord& live_record = worker->live_record;
    live_record.line = record.line;
    live_record.fields.assign(record.fields.begin(), record.fields.begin() + rules.live_columns);
    worker->live_alone.For(job.rules, *plan).Decide(live_record, worker->handles, &result);
  }
  if (result.on_lost_session) {
    std::string lost = result.alerts.empty() ? "the connection is gone" : result.alerts.back().text;
    LoseSession(worker);
    return {503, ErrorJson("the database session was lost: " + lost)};
  }
  if (!result.reject.empty()) {
    if (!job.batch) return {422, ErrorJson(result.reject)};
    decided->body += RejectedJson(id, result.reject);
    return {200, ""};
  }
  Add(job, *plan, id, result, decided);
  if (!draft_error.empty()) {
    JsonObject line;
    line.Text("id", id).Text("draft_error", draft_error);
    decided->changes += Tagged(line, rules, job.request) + "\n";
    ++decided->shadow_errors;
  }
  return {200, ""};
}

void DecisionService::Add(const Job& job, const DecisionPlan& plan, std::string_view id,
                          const RowResult& result, Decided* decided) const {
  const ServedRules& rules = *job.rules;
  AppendAnswerJson(plan, id, result, &decided->body);
  if (settings_.log->audits()) {
    JsonObject line = AuditJson(plan, id, result, decided->time, rules.sha256);
    if (!job.request.idempotency_key.empty()) {
      line.Text("idempotency_key", job.request.idempotency_key);
    }
    if (!job.request.trace_id.empty()) line.Text("trace_id", job.request.trace_id);
    decided->audit += line.Close() + "\n";
  }
  if (std::optional<JsonObject> change = ShadowChangeJson(plan, id, result)) {
    decided->changes += Tagged(*change, rules, job.request) + "\n";
    ++decided->shadow_changes;
  }
  decided->ids.emplace_back(id);
  decided->tallies.push_back(TallyOf(plan, result));
}

void DecisionService::Deliver(const Job& job, Decided& decided) {
  // A request answered already (at a stop's limit) has no decision to record.
  if (!job.answer->Claim()) return;
  const Clock::time_point started = Clock::now();
  const Request& request = job.request;
  if (settings_.log->audits() && !request.idempotency_key.empty()) {
    decided.audit += KeyedAnswerLine(request.idempotency_key, decided.time, request.body_sha256, 200,
                             decided.body);
  }
  std::string failure;
  // A decision that is not recorded is not given.
  if (!settings_.log->Record(decided.changes, decided.audit, &failure)) {
    return job.answer->Give({503, ErrorJson("cannot record the decision: " + failure)});
  }
  Answer answer{200, decided.body};
  const double audit_seconds = Seconds(Clock::now() - started);
  answer.server_timing = ServerTiming(decided.queue_seconds, decided.decide_seconds, audit_seconds);
  if (settings_.metrics != nullptr) {
    settings_.metrics->Stages(decided.queue_seconds, decided.decide_seconds, audit_seconds);
  }
  Count(decided);
  if (!decided.ids.empty() && settings_.log->audits()) {
    answer.delivery = std::make_shared<Delivery>(settings_.log, decided.ids);
  }
  job.answer->Give(std::move(answer));
}

void DecisionService::Count(const Decided& decided) {
  if (settings_.metrics == nullptr) return;
  for (const TransactionTally& tally : decided.tallies) settings_.metrics->Transaction(tally);
  settings_.metrics->Shadow(decided.shadow_changes, decided.shadow_errors);
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
  return settings_.log->Ready(reason);
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
  // No connection is served any more: an answer not written yet never will be.
  settings_.log->UndeliverAll("the server stopped before the answer was written");
  settings_.log->Sync();
  return settings_.log->SyncedAll(error);
}

}  // namespace txhost
