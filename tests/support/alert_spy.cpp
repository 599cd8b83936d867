// The platform-neutral half of the alert spy: reading and clearing what was caught.
#include "alert_spy.h"

#include "alert_store.h"

namespace testing_support {

AlertStore& Alerts() {
  static AlertStore store;
  return store;
}

std::vector<Alert> AlertSpy::alerts() const {
  std::lock_guard<std::mutex> lock(Alerts().mutex);
  return Alerts().alerts;
}

std::vector<std::string> AlertSpy::texts() const {
  std::vector<std::string> texts;
  for (const Alert& alert : alerts()) texts.push_back(alert.text);
  return texts;
}

void AlertSpy::Clear() {
  std::lock_guard<std::mutex> lock(Alerts().mutex);
  Alerts().alerts.clear();
}

}  // namespace testing_support
