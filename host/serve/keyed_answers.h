// The answers of requests with an idempotency key, as the audit keeps them: one line per request
// beside its decisions, so that a restarted server answers a retry exactly as it was answered.
#ifndef TXSCREEN_HOST_SERVE_KEYED_ANSWERS_H_
#define TXSCREEN_HOST_SERVE_KEYED_ANSWERS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "idempotency.h"

namespace txhost {

// {"idempotency_key", "time", "request_sha256", "status", "answer"}, the answer's JSON last and
// as it was sent, so that it is read back byte for byte. With its newline.
std::string KeyedAnswerLine(std::string_view key, std::string_view time,
                            std::string_view request_sha256, int status, std::string_view answer);

struct RestoredKeys {
  size_t restored = 0;     // answers inside the window, now in the store
  size_t past_window = 0;  // answers older than the window
  size_t unreadable = 0;   // lines that began as answers but could not be read
};

// Reads the keyed answers of the audit at `path` that are inside the store's window into it. A
// path that is no regular file, or none yet, holds none. False and "path: reason" when the
// file cannot be read.
bool RestoreKeyedAnswers(const std::string& path, IdempotencyStore* store, RestoredKeys* restored,
                         std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_KEYED_ANSWERS_H_
