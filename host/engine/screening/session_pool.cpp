// Opening one session per worker on one environment.
#include "session_pool.h"

#include <algorithm>

namespace txhost {

bool NeedsDatabase(const std::vector<Check>& checks) {
  return std::any_of(checks.begin(), checks.end(),
                     [](const Check& check) { return check.rule->TakesHandles(); });
}

std::unique_ptr<SessionPool> SessionPool::Open(const ConnectString& login, unsigned workers,
                                               std::string* error) {
  auto pool = std::make_unique<SessionPool>(workers);
  pool->session_ = HostSession::Open(login, workers > 1, error);
  if (!pool->session_) return nullptr;
  std::vector<OciHandles> more;
  size_t given = 0;
  if (!pool->session_->OpenMore(login, workers - 1, &more, &given, error)) {
    *error = "session " + std::to_string(given + 2) + " of " + std::to_string(workers) +
             " (one per worker, --threads): " + *error;
    return nullptr;
  }
  pool->handles_[0] = pool->session_->handles();
  std::copy(more.begin(), more.end(), pool->handles_.begin() + 1);
  pool->answered_ = Clock::now();  // every login has just answered
  return pool;
}

bool SessionPool::Alive() {
  if (session_ == nullptr) return true;
  if (lost_) return false;
  if (Clock::now() - answered_ < kTrustedAfterAnswer) return true;
  if (!session_->Alive()) return false;
  answered_ = Clock::now();
  return true;
}

void SessionPool::RunEnded(bool lost) {
  if (session_ == nullptr) return;
  lost_ = lost_ || lost;
  if (!lost) answered_ = Clock::now();
}

}  // namespace txhost
