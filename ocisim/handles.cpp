// Handle ownership in the stand-in: creation under a parent, recursive release, look-up.
#include "handles.h"

#include <algorithm>
#include <cstdlib>

namespace ocisim {

void ErrorRecord::Set(const std::string& message) {
  present = true;
  text = message;
  code = 0;
  if (message.compare(0, 4, "ORA-") == 0) code = std::atoi(message.c_str() + 4);
}

void Statement::Release(Registry& registry) {
  if (auto* session = registry.Resolve<Session>(cursor_session, OCI_HTYPE_SESSION)) {
    std::lock_guard<std::mutex> lock(session->cursors_mutex);
    session->open_cursors.erase(serial);
  }
}

void Session::Uncount() {
  if (counted) --*counted;
  counted.reset();
}

void Registry::Destroy(Handle* handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  while (!handle->children.empty()) Destroy(handle->children.back());
  handle->Release(*this);
  if (Handle* parent = handle->parent) {
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), handle), siblings.end());
  }
  auto it = live_.find(handle);
  if (it == live_.end()) return;
  quarantined_.insert(handle);
  quarantine_.push_back(std::move(it->second));
  live_.erase(it);
  if (quarantine_.size() > kQuarantine) {
    quarantined_.erase(quarantine_.front().get());
    quarantine_.pop_front();
  }
}

Handle* Registry::Find(const void* pointer) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = live_.find(pointer);
  return it == live_.end() ? nullptr : it->second.get();
}

bool Registry::WasFreed(const void* pointer) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return quarantined_.count(pointer) != 0;
}

size_t Registry::LiveCount(ub4 type) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (type == 0) return live_.size();
  return static_cast<size_t>(std::count_if(live_.begin(), live_.end(), [type](const auto& entry) {
    return entry.second->type == type;
  }));
}

void Registry::Clear() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  live_.clear();
  quarantine_.clear();
  quarantined_.clear();
}

}  // namespace ocisim
