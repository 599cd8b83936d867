// The alerts caught so far, shared by the platform halves of the alert spy.
#ifndef TXSCREEN_TESTS_SUPPORT_ALERT_STORE_H_
#define TXSCREEN_TESTS_SUPPORT_ALERT_STORE_H_

#include <atomic>
#include <mutex>
#include <vector>

#include "alert_spy.h"

namespace testing_support {

struct AlertStore {
  std::atomic<bool> active{false};
  std::mutex mutex;
  std::vector<Alert> alerts;

  void Add(Alert alert) {
    std::lock_guard<std::mutex> lock(mutex);
    alerts.push_back(std::move(alert));
  }
};

AlertStore& Alerts();

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_ALERT_STORE_H_
