// Keyed answers written into the audit and read back from it at start.
#include "keyed_answers.h"

#include <simdjson.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "file_system.h"
#include "json_line.h"

namespace txhost {
namespace {

namespace od = simdjson::ondemand;

constexpr std::string_view kOpening = "{\"idempotency_key\":";
constexpr std::string_view kAnswerMember = ",\"answer\":";

// The audit's time ("2026-12-09T06:40:01.123Z") as a point in time; false when it is not one.
bool ParseUtc(std::string_view text, IdempotencyStore::Clock::time_point* at) {
  std::tm utc{};
  int millis = 0;
  char zone = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &utc.tm_year, &utc.tm_mon,
                  &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis, &zone) != 8 ||
      zone != 'Z') {
    return false;
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  *at = IdempotencyStore::Clock::from_time_t(timegm(&utc)) + std::chrono::milliseconds(millis);
  return true;
}

// One keyed answer's line read into its parts; false when it is not one.
bool ReadLine(od::parser& parser, std::string line, std::string* key, std::string* digest,
              IdempotencyStore::Clock::time_point* at, IdempotencyStore::Stored* answer) {
  const size_t member = line.find(kAnswerMember);
  if (member == std::string::npos || line.back() != '}') return false;
  answer->body =
      line.substr(member + kAnswerMember.size(), line.size() - 1 - member - kAnswerMember.size());
  // The members before the answer, read as an object of their own.
  line.resize(member);
  line += '}';
  simdjson::padded_string padded(line);
  od::document document;
  std::string_view text;
  int64_t status = 0;
  if (parser.iterate(padded).get(document) || document["idempotency_key"].get_string().get(text)) {
    return false;
  }
  key->assign(text);
  if (document["time"].get_string().get(text) || !ParseUtc(text, at)) return false;
  if (document["request_sha256"].get_string().get(text)) return false;
  digest->assign(text);
  if (document["status"].get_int64().get(status)) return false;
  answer->status = static_cast<int>(status);
  return !key->empty() && !answer->body.empty();
}

}  // namespace

std::string KeyedAnswerLine(std::string_view key, std::string_view time,
                            std::string_view request_sha256, int status, std::string_view answer) {
  std::string line = JsonObject()
                         .Text("idempotency_key", key)
                         .Text("time", time)
                         .Text("request_sha256", request_sha256)
                         .Number("status", std::to_string(status))
                         .Raw("answer", answer)
                         .Close();
  return line + "\n";
}

bool RestoreKeyedAnswers(const std::string& path, IdempotencyStore* store, RestoredKeys* restored,
                         std::string* error) {
  struct stat facts;
  if (stat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  const auto oldest = IdempotencyStore::Clock::now() - store->settings().window;
  od::parser parser;
  std::string line, key, digest;
  while (std::getline(in, line)) {
    if (line.compare(0, kOpening.size(), kOpening) != 0) continue;
    IdempotencyStore::Clock::time_point at;
    IdempotencyStore::Stored answer;
    if (!ReadLine(parser, line, &key, &digest, &at, &answer)) {
      ++restored->unreadable;
      continue;
    }
    if (at < oldest) {
      ++restored->past_window;
      continue;
    }
    store->Restore(key, digest, at, std::move(answer));
    ++restored->restored;
  }
  if (in.bad()) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace txhost
