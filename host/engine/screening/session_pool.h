// The database sessions of a run's workers: one per worker when a check needs the database, each
// a service context, session and error handle of its own under one threaded environment, since a
// server serves one call at a time per session.
#ifndef TXSCREEN_HOST_ENGINE_SCREENING_SESSION_POOL_H_
#define TXSCREEN_HOST_ENGINE_SCREENING_SESSION_POOL_H_

#include <memory>
#include <string>
#include <vector>

#include "rule_set.h"
#include "session.h"

namespace txhost {

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
  // Whether every worker's session still answers (true for a pool without sessions).
  bool Alive() const { return session_ == nullptr || session_->Alive(); }

 private:
  std::unique_ptr<HostSession> session_;
  std::vector<OciHandles> handles_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SCREENING_SESSION_POOL_H_
