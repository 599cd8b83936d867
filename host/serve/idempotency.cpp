// The idempotency keys kept, oldest first, and the header fields a request names them and its
// trace with.
#include "idempotency.h"

namespace txhost {
namespace {

bool IsLowerHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool AllZeros(std::string_view text) {
  return text.find_first_not_of('0') == std::string_view::npos;
}

// The key of a structured-field string, without its quotes and escapes.
bool Unquote(std::string_view field, std::string* key, std::string* error) {
  key->clear();
  for (size_t at = 1; at < field.size(); ++at) {
    char c = field[at];
    if (c == '"') {
      if (at + 1 == field.size()) return true;
      *error = "Idempotency-Key: nothing may follow the quoted key";
      return false;
    }
    if (c == '\\') {
      if (++at == field.size() || (field[at] != '"' && field[at] != '\\')) {
        *error = "Idempotency-Key: only \\\" and \\\\ may be escaped in a quoted key";
        return false;
      }
      c = field[at];
    } else if (c < 0x20 || c > 0x7e) {
      *error = "Idempotency-Key: a key holds printable ASCII characters only";
      return false;
    }
    key->push_back(c);
  }
  *error = "Idempotency-Key: the quoted key has no closing quote";
  return false;
}

}  // namespace

bool ParseIdempotencyKey(std::string_view field, std::string* key, std::string* error) {
  if (!field.empty() && field.front() == '"') {
    if (!Unquote(field, key, error)) return false;
  } else {
    for (char c : field) {
      if (c < 0x21 || c > 0x7e) {
        *error = "Idempotency-Key: a key holds printable ASCII characters only, without spaces "
                 "unless it is quoted";
        return false;
      }
    }
    key->assign(field);
  }
  if (key->empty() || key->size() > kMaxIdempotencyKey) {
    *error = "Idempotency-Key: a key has 1 to " + std::to_string(kMaxIdempotencyKey) +
             " characters; this one has " + std::to_string(key->size());
    return false;
  }
  return true;
}

std::string TraceIdOf(std::string_view traceparent) {
  // version "-" trace-id "-" parent-id "-" flags; a later version may add fields after a dash.
  constexpr size_t kLength = 55;
  if (traceparent.size() < kLength) return "";
  const std::string_view version = traceparent.substr(0, 2);
  if (!IsLowerHex(version) || version == "ff") return "";
  if (version == "00" ? traceparent.size() != kLength
                      : traceparent.size() > kLength && traceparent[kLength] != '-') {
    return "";
  }
  if (traceparent[2] != '-' || traceparent[35] != '-' || traceparent[52] != '-') return "";
  const std::string_view trace = traceparent.substr(3, 32), parent = traceparent.substr(36, 16);
  if (!IsLowerHex(trace) || !IsLowerHex(parent) || !IsLowerHex(traceparent.substr(53, 2)) ||
      AllZeros(trace) || AllZeros(parent)) {
    return "";
  }
  return std::string(trace);
}

size_t IdempotencyStore::Cost(const Entry& entry) {
  // The list node and the index's node and bucket, beside the texts themselves.
  constexpr size_t kPerKey = sizeof(Entry) + 2 * sizeof(void*) + 48;
  return kPerKey + entry.key.capacity() + entry.body_sha256.capacity() +
         entry.answer.body.capacity();
}

void IdempotencyStore::Insert(Entry entry) {
  by_age_.push_back(std::move(entry));
  auto at = std::prev(by_age_.end());
  by_key_.emplace(at->key, at);
  bytes_ += Cost(*at);
}

void IdempotencyStore::Erase(Entries::iterator at) {
  bytes_ -= Cost(*at);
  by_key_.erase(at->key);
  by_age_.erase(at);
}

void IdempotencyStore::Trim(Clock::time_point now) {
  while (!by_age_.empty() && by_age_.front().at + settings_.window <= now) Erase(by_age_.begin());
  while (!by_age_.empty() &&
         (by_key_.size() > settings_.max_keys || bytes_ > settings_.max_bytes)) {
    Erase(by_age_.begin());
    ++evicted_;
  }
}

IdempotencyStore::Begun IdempotencyStore::Begin(const std::string& key,
                                                const std::string& body_sha256, Stored* replay,
                                                Clock::time_point now) {
  txscreen::MutexLock lock(&mutex_);
  Trim(now);
  auto found = by_key_.find(key);
  if (found != by_key_.end()) {
    const Entry& entry = *found->second;
    if (entry.body_sha256 != body_sha256) return Begun::kOtherBody;
    if (!entry.done) return Begun::kInProgress;
    *replay = entry.answer;
    return Begun::kReplay;
  }
  Insert({key, body_sha256, now, false, {}});
  Trim(now);
  return Begun::kNew;
}

void IdempotencyStore::Finish(const std::string& key, Stored answer) {
  txscreen::MutexLock lock(&mutex_);
  auto found = by_key_.find(key);
  if (found == by_key_.end() || found->second->done) return;  // let go meanwhile
  Entry& entry = *found->second;
  bytes_ -= Cost(entry);
  entry.done = true;
  entry.answer = std::move(answer);
  entry.answer.body.shrink_to_fit();
  bytes_ += Cost(entry);
  Trim(Clock::now());
}

void IdempotencyStore::Forget(const std::string& key) {
  txscreen::MutexLock lock(&mutex_);
  auto found = by_key_.find(key);
  if (found != by_key_.end() && !found->second->done) Erase(found->second);
}

void IdempotencyStore::Restore(const std::string& key, const std::string& body_sha256,
                               Clock::time_point at, Stored answer) {
  txscreen::MutexLock lock(&mutex_);
  auto found = by_key_.find(key);
  if (found != by_key_.end()) Erase(found->second);
  Insert({key, body_sha256, at, true, std::move(answer)});
  Trim(Clock::now());
}

size_t IdempotencyStore::keys() const {
  txscreen::MutexLock lock(&mutex_);
  return by_key_.size();
}

size_t IdempotencyStore::bytes() const {
  txscreen::MutexLock lock(&mutex_);
  return bytes_;
}

uint64_t IdempotencyStore::evicted() const {
  txscreen::MutexLock lock(&mutex_);
  return evicted_;
}

}  // namespace txhost
