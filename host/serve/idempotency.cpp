// The idempotency keys kept, oldest first, and the header fields a request names them and its
// trace with.
#include "idempotency.h"

#include <algorithm>
#include <functional>
#include <list>
#include <unordered_map>

#include "thread_annotations.h"

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
        *error =
            "Idempotency-Key: a key holds printable ASCII characters only, without spaces "
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

// One share of the keys, behind a lock of its own.
struct IdempotencyStore::Shard {
  struct Entry {
    std::string key, body_sha256;
    Clock::time_point at;
    bool done = false;
    Stored answer;
  };
  using Entries = std::list<Entry>;

  size_t max_keys = 0, max_bytes = 0;
  std::chrono::seconds window{0};
  txscreen::Mutex mutex;
  Entries by_age GUARDED_BY(mutex);  // oldest first
  std::unordered_map<std::string_view, Entries::iterator> by_key GUARDED_BY(mutex);
  size_t bytes GUARDED_BY(mutex) = 0;
  uint64_t evicted GUARDED_BY(mutex) = 0;

  static size_t Cost(const Entry& entry) {
    // The list node and the index's node and bucket, beside the texts themselves.
    constexpr size_t kPerKey = sizeof(Entry) + 2 * sizeof(void*) + 48;
    return kPerKey + entry.key.capacity() + entry.body_sha256.capacity() +
           entry.answer.body.capacity();
  }
  // `entries` holds the one entry to add, made outside the lock.
  void Insert(Entries* entries) REQUIRES(mutex) {
    by_age.splice(by_age.end(), *entries);
    auto at = std::prev(by_age.end());
    by_key.emplace(at->key, at);
    bytes += Cost(*at);
  }
  // Moves the entry at `at` out to `dropped`, to be freed outside the lock.
  void Erase(Entries::iterator at, Entries* dropped) REQUIRES(mutex) {
    bytes -= Cost(*at);
    by_key.erase(at->key);
    dropped->splice(dropped->end(), by_age, at);
  }
  // Drops what is past the window, then the oldest keys while a bound is passed.
  void Trim(Clock::time_point now, Entries* dropped) REQUIRES(mutex) {
    while (!by_age.empty() && by_age.front().at + window <= now) {
      Erase(by_age.begin(), dropped);
    }
    while (!by_age.empty() && (by_key.size() > max_keys || bytes > max_bytes)) {
      Erase(by_age.begin(), dropped);
      ++evicted;
    }
  }
};

namespace {

// Enough keys to a shard that the bounds hold as a whole, near enough; small bounds keep one
// shard, and with it the exact order of age.
constexpr size_t kMostShards = 16;
constexpr size_t kLeastKeysPerShard = 4096;
constexpr size_t kLeastBytesPerShard = size_t{1} << 20;

}  // namespace

IdempotencyStore::IdempotencyStore(IdempotencySettings settings) : settings_(settings) {
  const size_t count =
      std::clamp(std::min(settings.max_keys / kLeastKeysPerShard,
                          settings.max_bytes / kLeastBytesPerShard),
                 size_t{1}, kMostShards);
  for (size_t s = 0; s < count; ++s) {
    auto shard = std::make_unique<Shard>();
    shard->max_keys = (settings.max_keys + count - 1) / count;
    shard->max_bytes = settings.max_bytes / count;
    shard->window = settings.window;
    shards_.push_back(std::move(shard));
  }
}

IdempotencyStore::~IdempotencyStore() = default;

IdempotencyStore::Shard& IdempotencyStore::ShardOf(const std::string& key) const {
  return *shards_[std::hash<std::string>{}(key) % shards_.size()];
}

IdempotencyStore::Begun IdempotencyStore::Begin(const std::string& key,
                                                const std::string& body_sha256, Stored* replay,
                                                Clock::time_point now) {
  Shard& shard = ShardOf(key);
  Shard::Entries fresh, dropped;
  fresh.push_back({key, body_sha256, now, false, {}});
  txscreen::MutexLock lock(&shard.mutex);
  shard.Trim(now, &dropped);
  auto found = shard.by_key.find(key);
  if (found != shard.by_key.end()) {
    const Shard::Entry& entry = *found->second;
    if (entry.body_sha256 != body_sha256) return Begun::kOtherBody;
    if (!entry.done) return Begun::kInProgress;
    *replay = entry.answer;
    return Begun::kReplay;
  }
  shard.Insert(&fresh);
  shard.Trim(now, &dropped);
  return Begun::kNew;
}

void IdempotencyStore::Finish(const std::string& key, Stored answer) {
  answer.body.shrink_to_fit();
  Shard& shard = ShardOf(key);
  Shard::Entries dropped;
  txscreen::MutexLock lock(&shard.mutex);
  auto found = shard.by_key.find(key);
  if (found == shard.by_key.end() || found->second->done) return;  // let go meanwhile
  Shard::Entry& entry = *found->second;
  shard.bytes -= Shard::Cost(entry);
  entry.done = true;
  std::swap(entry.answer, answer);  // the empty answer is freed outside the lock
  shard.bytes += Shard::Cost(entry);
  shard.Trim(Clock::now(), &dropped);
}

void IdempotencyStore::Forget(const std::string& key) {
  Shard& shard = ShardOf(key);
  Shard::Entries dropped;
  txscreen::MutexLock lock(&shard.mutex);
  auto found = shard.by_key.find(key);
  if (found != shard.by_key.end() && !found->second->done) shard.Erase(found->second, &dropped);
}

void IdempotencyStore::Restore(const std::string& key, const std::string& body_sha256,
                               Clock::time_point at, Stored answer) {
  Shard& shard = ShardOf(key);
  Shard::Entries fresh, dropped;
  fresh.push_back({key, body_sha256, at, true, std::move(answer)});
  txscreen::MutexLock lock(&shard.mutex);
  auto found = shard.by_key.find(key);
  if (found != shard.by_key.end()) shard.Erase(found->second, &dropped);
  shard.Insert(&fresh);
  shard.Trim(Clock::now(), &dropped);
}

IdempotencyStore::Totals IdempotencyStore::Count() const {
  Totals totals;
  for (const auto& shard : shards_) {
    txscreen::MutexLock lock(&shard->mutex);
    totals.keys += shard->by_key.size();
    totals.bytes += shard->bytes;
    totals.evicted += shard->evicted;
  }
  return totals;
}

}  // namespace txhost
