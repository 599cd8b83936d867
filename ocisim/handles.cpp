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
    txscreen::MutexLock lock(&session->cursors_mutex);
    session->open_cursors.erase(serial);
  }
}

void Session::Uncount() {
  if (counted) --*counted;
  counted.reset();
}

std::vector<Handle*> Registry::ChildrenOf(const Handle* parent) const {
  std::vector<Handle*> children;
  ForEach([&](const Handle& handle) {
    if (handle.parent == parent) children.push_back(const_cast<Handle*>(&handle));
  });
  return children;
}

void Registry::DestroyChildren(Handle* handle) {
  for (;;) {
    Handle* child = nullptr;
    {
      txscreen::MutexLock lock(&handle->children_mutex);
      if (handle->children.empty()) return;
      child = handle->children.back();
    }
    Destroy(child);
  }
}

void Registry::Destroy(Handle* handle) {
  if (handle->type == OCI_HTYPE_ENV) {
    for (Handle* child : ChildrenOf(handle)) Destroy(child);
  }
  DestroyChildren(handle);
  handle->Release(*this);
  if (Handle* parent = handle->parent; parent != nullptr && parent->type != OCI_HTYPE_ENV) {
    txscreen::MutexLock lock(&parent->children_mutex);
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), handle), siblings.end());
  }
  Shard& shard = ShardOf(handle);
  txscreen::MutexLock lock(&shard.mutex);
  auto it = shard.live.find(handle);
  if (it == shard.live.end()) return;
  shard.quarantined.insert(handle);
  shard.quarantine.push_back(std::move(it->second));
  shard.live.erase(it);
  if (shard.quarantine.size() > kQuarantine) {
    shard.quarantined.erase(shard.quarantine.front().get());
    shard.quarantine.pop_front();
  }
}

Handle* Registry::Find(const void* pointer) const {
  Shard& shard = ShardOf(pointer);
  txscreen::MutexLock lock(&shard.mutex);
  auto it = shard.live.find(pointer);
  return it == shard.live.end() ? nullptr : it->second.get();
}

bool Registry::WasFreed(const void* pointer) const {
  Shard& shard = ShardOf(pointer);
  txscreen::MutexLock lock(&shard.mutex);
  return shard.quarantined.count(pointer) != 0;
}

size_t Registry::LiveCount(ub4 type) const {
  size_t count = 0;
  ForEach([&](const Handle& handle) { count += type == 0 || handle.type == type; });
  return count;
}

void Registry::Clear() {
  for (Shard& shard : shards_) {
    txscreen::MutexLock lock(&shard.mutex);
    shard.live.clear();
    shard.quarantine.clear();
    shard.quarantined.clear();
  }
}

}  // namespace ocisim
