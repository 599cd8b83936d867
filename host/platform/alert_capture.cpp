// The per-thread alert collector that both platforms' routings deliver to.
#include "alert_capture.h"

namespace txhost {
namespace {

thread_local AlertCollector* t_collector = nullptr;

}  // namespace

AlertCollector::AlertCollector() { t_collector = this; }

AlertCollector::~AlertCollector() { t_collector = nullptr; }

AlertCollector* AlertCollector::Current() { return t_collector; }

std::vector<std::string> AlertCollector::Take() {
  std::vector<std::string> texts;
  texts.swap(texts_);
  return texts;
}

}  // namespace txhost
