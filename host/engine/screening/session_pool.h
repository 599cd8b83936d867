// The database sessions of a run's workers: one per worker when a check needs the database, each
// a service context, session and error handle of its own under one threaded environment, since a
// server serves one call at a time per session.
#ifndef TXSCREEN_HOST_ENGINE_SCREENING_SESSION_POOL_H_
#define TXSCREEN_HOST_ENGINE_SCREENING_SESSION_POOL_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "rule_set.h"
#include "session.h"

namespace txhost {

// The most workers a run or a server may have, each on a session of its own: more would only
// wait on each other and the server's session limit.
inline constexpr unsigned kMaxWorkers = 256;

// Whether any check calls a rule that takes the handle triple.
bool NeedsDatabase(const std::vector<Check>& checks);

class SessionPool {
 public:
  // `workers` triples of null handles, for a run whose checks need no database.
  explicit SessionPool(unsigned workers) : handles_(workers, OciHandles{}) {}
  // Logs in once per worker. Null and the reason when any login fails (the server's session
  // limit, say); every session opened so far is closed again.
  static std::unique_ptr<SessionPool> Open(const ConnectString& login, unsigned workers,
                                           std::string* error);

  // One triple per worker.
  const std::vector<OciHandles>& handles() const { return handles_; }
  // A pool that answered within this long is taken to answer still, as connection pools do: a
  // session can be lost right after any ping, so a run must cope with a loss anyway, and a round
  // trip before each of many short runs (a Dask partition each) would cost more than the runs.
  static constexpr std::chrono::seconds kTrustedAfterAnswer{1};

  // Whether every worker's session still answers (true for a pool without sessions): false once a
  // run found one lost; otherwise a round trip each, unless the pool answered within
  // kTrustedAfterAnswer.
  bool Alive();
  // Says how a run on the pool ended: `lost` when a worker found its session gone, which no ping
  // needs to confirm. Otherwise the sessions have just answered.
  void RunEnded(bool lost);

 private:
  using Clock = std::chrono::steady_clock;

  std::unique_ptr<HostSession> session_;
  std::vector<OciHandles> handles_;
  Clock::time_point answered_ = Clock::now();  // when the sessions last answered
  bool lost_ = false;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SCREENING_SESSION_POOL_H_
