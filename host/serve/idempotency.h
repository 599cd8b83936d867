// Idempotency keys: a client that retries a payment sends the same Idempotency-Key with the same
// body, and gets the first answer again rather than a second decision. The keys are kept for a
// window and bounded in number and in bytes, oldest first out.
#ifndef TXSCREEN_HOST_SERVE_IDEMPOTENCY_H_
#define TXSCREEN_HOST_SERVE_IDEMPOTENCY_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace txhost {

inline constexpr size_t kMaxIdempotencyKey = 255;

struct IdempotencySettings {
  std::chrono::seconds window{24 * 3600};
  size_t max_keys = 1000000;
  size_t max_bytes = size_t{512} << 20;  // the keys and answers kept, as counted by bytes()
};

// The key an Idempotency-Key field gives: a structured-field string ("key", with \" and \\ as
// escapes) or, as many clients send it, the bare key; 1 to 255 printable ASCII characters.
// False with the reason otherwise.
bool ParseIdempotencyKey(std::string_view field, std::string* key, std::string* error);

// The trace id of a W3C traceparent field ("00-<32 hex>-<16 hex>-<2 hex>"), or empty when the
// field is not one: an invalid field is ignored, as Trace Context says, never an error.
std::string TraceIdOf(std::string_view traceparent);

// Thread-safe. Large bounds are split over shards by key, each with its lock and its share of
// the bounds, so that requests on several threads seldom wait for each other; the oldest keys go
// first within a shard.
class IdempotencyStore {
 public:
  using Clock = std::chrono::system_clock;

  struct Stored {
    int status = 0;
    std::string body;  // the answer's body, byte for byte
  };
  enum class Begun {
    kNew,         // the key is the request's now: Finish or Forget it
    kReplay,      // answered before with the same body: `replay` holds the answer
    kInProgress,  // the first request with the key is still being decided
    kOtherBody,   // the key was used with another body
  };

  explicit IdempotencyStore(IdempotencySettings settings);
  ~IdempotencyStore();

  // Takes `key` for a request whose body has the digest `body_sha256`, unless it is known.
  Begun Begin(const std::string& key, const std::string& body_sha256, Stored* replay,
              Clock::time_point now = Clock::now());
  // Keeps the answer of the request that began `key`.
  void Finish(const std::string& key, Stored answer);
  // Lets `key` go: its request decided nothing (503), and a retry must be decided.
  void Forget(const std::string& key);
  // An answer given before the server started, read back from the audit.
  void Restore(const std::string& key, const std::string& body_sha256, Clock::time_point at,
               Stored answer);

  const IdempotencySettings& settings() const { return settings_; }
  struct Totals {
    size_t keys = 0;
    // The bytes the keys take: each key, its digest and its answer, and a fixed cost per key
    // for the store's own structures.
    size_t bytes = 0;
    uint64_t evicted = 0;  // keys let go before their window ended, to stay within the bounds
  };
  Totals Count() const;
  size_t keys() const { return Count().keys; }
  size_t bytes() const { return Count().bytes; }
  uint64_t evicted() const { return Count().evicted; }

 private:
  struct Shard;
  Shard& ShardOf(const std::string& key) const;

  const IdempotencySettings settings_;
  std::vector<std::unique_ptr<Shard>> shards_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_IDEMPOTENCY_H_
