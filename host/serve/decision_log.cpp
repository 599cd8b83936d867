// The decisions' records: the two logs written together, and the answers that went astray.
#include "decision_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "json_line.h"

namespace txhost {

std::string UtcNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm utc;
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis.count()));
  return text;
}

std::vector<LineLog*> DecisionLog::Logs() const {
  std::vector<LineLog*> logs;
  for (LineLog* log : {audit_, changes_}) {
    if (log != nullptr) logs.push_back(log);
  }
  return logs;
}

bool DecisionLog::Record(const std::string& change_lines, const std::string& audit_lines,
                         std::string* failure) {
  txscreen::MutexLock lock(&mutex_);
  const bool changes = changes_ != nullptr && !change_lines.empty();
  const bool audit = audit_ != nullptr && !audit_lines.empty();
  LineLog::Mark changes_start = 0;
  if (changes && !changes_->Append(change_lines, &changes_start)) {
    *failure = changes_->problem();
    return false;
  }
  if (audit && !audit_->Append(audit_lines)) {
    *failure = audit_->problem();
    // A change line tells of a decision: none stands for one that was not given.
    if (changes) changes_->CutBack(changes_start);
    return false;
  }
  return true;
}

void DecisionLog::Undelivered(const std::vector<std::string>& ids, const std::string& reason) {
  undelivered_ += ids.size();
  if (audit_ == nullptr) return;
  const std::string time = UtcNow();
  std::string lines;
  for (const std::string& id : ids) {
    lines += JsonObject().Text("id", id).Text("undelivered", reason).Text("time", time).Close();
    lines += '\n';
  }
  txscreen::MutexLock lock(&mutex_);
  // A log that cannot be written says so on /readyz already; there is nowhere else to say it.
  audit_->Append(lines);
}

size_t DecisionLog::UndeliverAll(const std::string& reason) {
  txscreen::MutexLock lock(&deliveries_mutex_);
  size_t told = 0;
  for (Delivery* delivery : deliveries_) told += delivery->Undelivered(reason);
  return told;
}

bool DecisionLog::CanRecord(std::string* reason) const {
  for (LineLog* log : Logs()) {
    if (log->failed()) {
      *reason = "cannot record decisions: " + log->problem();
      return false;
    }
  }
  return true;
}

bool DecisionLog::Ready(std::string* reason) const {
  if (!CanRecord(reason)) return false;
  for (LineLog* log : Logs()) {
    if (std::string problem = log->problem(); !problem.empty()) {
      *reason = problem;
      return false;
    }
  }
  return true;
}

bool DecisionLog::Sync() {
  bool synced = true;
  for (LineLog* log : Logs()) synced = log->Sync() && synced;
  return synced;
}

bool DecisionLog::SyncedAll(std::string* reason) const {
  for (LineLog* log : Logs()) {
    if (!log->synced_all()) {
      *reason = log->path() + ": a sync failed, and lines written before it may not be on the disk";
      return false;
    }
  }
  return true;
}

std::string DecisionLog::Reopen() {
  std::string said;
  for (LineLog* log : Logs()) {
    std::string error;
    said += said.empty() ? "" : "; ";
    said += log->Reopen(&error) ? "reopened " + log->path()
                                : "could not reopen " + error + ", the file open stays";
  }
  return said.empty() ? "SIGUSR1: no log to reopen" : said;
}

std::vector<std::string> DecisionLog::Check() {
  std::vector<std::string> lines;
  for (LineLog* log : Logs()) {
    if (std::string said = log->Check(); !said.empty()) lines.push_back(std::move(said));
  }
  return lines;
}

Delivery::Delivery(DecisionLog* log, std::vector<std::string> ids)
    : log_(log), ids_(std::move(ids)) {
  txscreen::MutexLock lock(&log_->deliveries_mutex_);
  log_->deliveries_.insert(this);
}

Delivery::~Delivery() {
  // An answer whose connection went without writing it, on a path no other reason names.
  Undelivered("the connection closed before the answer was written");
  txscreen::MutexLock lock(&log_->deliveries_mutex_);
  log_->deliveries_.erase(this);
}

bool Delivery::Undelivered(const std::string& reason) {
  if (settled_.exchange(true)) return false;
  log_->Undelivered(ids_, reason);
  return true;
}

}  // namespace txhost
