// The stand-in's handles: one C++ object per client-library handle, owned by a registry.
#ifndef TXSCREEN_OCISIM_HANDLES_H_
#define TXSCREEN_OCISIM_HANDLES_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "database.h"
#include "handle_memory.h"
#include "oci_api.h"
#include "plsql.h"
#include "thread_annotations.h"

namespace ocisim {

class Registry;

constexpr char kNotConnected[] = "ORA-03114: not connected to ORACLE";

// What OCIErrorGet reads back. The stand-in keeps at most one record per handle.
struct ErrorRecord {
  bool present = false;
  sb4 code = 0;
  std::string text;

  void Clear() { *this = ErrorRecord(); }
  void Set(const std::string& message);  // takes the code from an "ORA-nnnnn" prefix
};

struct Handle {
  explicit Handle(ub4 handle_type) : type(handle_type) {}
  virtual ~Handle() = default;
  // Every handle lives where a 64-bit client's would (handle_memory.h); the destructor is virtual,
  // so the size given back is the handle's own.
  static void* operator new(size_t size) {
    if (void* memory = AllocateHandleMemory(size)) return memory;
    throw std::bad_alloc();
  }
  static void operator delete(void* memory, size_t size) { FreeHandleMemory(memory, size); }
  // Undoes what the handle holds elsewhere, just before it is freed.
  virtual void Release(Registry&) {}

  const ub4 type;
  uint64_t serial = 0;        // unique for the life of the process
  Handle* parent = nullptr;  // null only for an environment
  // The children of a handle other than an environment. An environment's are found by their
  // parent when it is freed: the sessions of many threads create and free statements under one
  // environment all the time, and a list there would make them take turns.
  txscreen::Mutex children_mutex;
  std::vector<Handle*> children GUARDED_BY(children_mutex);
  std::vector<char> user_memory;  // the xtramem_sz bytes a caller asked for
};

// A reference from one handle to another that may be freed first. It resolves only while the
// handle it was taken from is alive, never to a later handle at the same address.
struct Ref {
  const void* address = nullptr;
  uint64_t serial = 0;
};

struct Environment : Handle {
  Environment() : Handle(OCI_HTYPE_ENV) {}
  ub4 mode = OCI_DEFAULT;
  ErrorRecord error;  // what a failed call on the environment itself left
};

struct ErrorHandle : Handle {
  ErrorHandle() : Handle(OCI_HTYPE_ERROR) {}
  ErrorRecord record;
};

struct Server : Handle {
  Server() : Handle(OCI_HTYPE_SERVER) {}
  std::shared_ptr<Database> database;      // set while attached
  std::shared_ptr<SessionCount> sessions;  // the server's sessions, shared by its attachments
};

struct Session : Handle {
  Session() : Handle(OCI_HTYPE_SESSION) {}
  // A begun session still counts against its server's limit until it is ended or freed.
  void Release(Registry&) override { Uncount(); }
  void Uncount();

  // The calls on a session's service context keep these for themselves; see ServiceContext.
  std::string user_name;
  std::string password;
  bool begun = false;
  Ref server;
  std::shared_ptr<Database> database;
  uint64_t executions = 0;
  bool lost = false;                      // the connection broke; every call on the session fails
  std::shared_ptr<SessionCount> counted;  // set while the session counts against a limit

  // A statement may be freed on any thread, so its cursor has a lock of its own.
  txscreen::Mutex cursors_mutex;
  // Serials of the statements executed in this session.
  std::set<uint64_t> open_cursors GUARDED_BY(cursors_mutex);
};

struct ServiceContext : Handle {
  ServiceContext() : Handle(OCI_HTYPE_SVCCTX) {}
  Ref server;
  Ref session;
  // A session serves one call at a time, as a real server's does: the calls that go through a
  // service context hold this for their whole length, round trip included.
  txscreen::Mutex calls;
};

struct Bind : Handle {
  Bind() : Handle(OCI_HTYPE_BIND) {}
  std::string name;  // upper case, without the colon
  void* value = nullptr;
  sb4 size = 0;
  ub2 type = 0;
};

struct Statement : Handle {
  Statement() : Handle(OCI_HTYPE_STMT) {}
  void Release(Registry& registry) override;

  bool prepared = false;
  std::string text;
  std::shared_ptr<const ParsedStatement> parsed;  // set while prepared
  Ref cursor_session;  // the session whose cursor this statement holds, once executed
};

// Owns every live handle. Freed handles stay in quarantine for a while, so their addresses are
// not handed out again at once and a stale pointer is recognised as freed, not as another handle.
// The handles are spread over shards by address, each with its own lock, so that sessions on
// different threads seldom wait for one another; a handle's list of children has a lock of its
// own, and a handle's other fields belong to the calls that use it.
class Registry {
 public:
  template <class T, class... Args>
  T* Create(Handle* parent, Args&&... args) {
    auto owned = std::make_unique<T>(std::forward<Args>(args)...);
    T* handle = owned.get();
    handle->parent = parent;
    Shard& shard = ShardOf(handle);
    {
      txscreen::MutexLock lock(&shard.mutex);
      handle->serial = (++shard.last_serial * kShards) + (&shard - shards_);
      shard.quarantined.erase(handle);
      shard.live.emplace(handle, std::move(owned));
    }
    if (parent != nullptr && parent->type != OCI_HTYPE_ENV) {
      txscreen::MutexLock lock(&parent->children_mutex);
      parent->children.push_back(handle);
    }
    return handle;
  }

  // Frees the handle and, first, all its children.
  void Destroy(Handle* handle);
  // Frees the handle's children (not an environment's), newest first.
  void DestroyChildren(Handle* handle);

  // The live handle at `pointer`, or null.
  Handle* Find(const void* pointer) const;
  // The handle `ref` was taken from, while it lives and has `type`; otherwise null.
  template <class T>
  T* Resolve(const Ref& ref, ub4 type) const {
    Handle* handle = Find(ref.address);
    return handle && handle->serial == ref.serial && handle->type == type ? static_cast<T*>(handle)
                                                                          : nullptr;
  }
  static Ref RefTo(const Handle* handle) { return {handle, handle->serial}; }

  template <class Visit>
  void ForEach(Visit visit) const {
    for (const Shard& shard : shards_) {
      txscreen::MutexLock lock(&shard.mutex);
      for (const auto& entry : shard.live) visit(*entry.second);
    }
  }
  bool WasFreed(const void* pointer) const;
  size_t LiveCount(ub4 type) const;  // type 0 counts all
  void Clear();

 private:
  static constexpr size_t kShards = 64;
  static constexpr size_t kShardsPerRegion = 8;
  static constexpr size_t kQuarantine = 64;  // per shard

  struct Shard {
    mutable txscreen::Mutex mutex;
    uint64_t last_serial GUARDED_BY(mutex) = 0;
    std::unordered_map<const void*, std::unique_ptr<Handle>> live GUARDED_BY(mutex);
    std::deque<std::unique_ptr<Handle>> quarantine GUARDED_BY(mutex);
    std::unordered_set<const void*> quarantined GUARDED_BY(mutex);
  };
  // The live handles whose parent is `parent`.
  std::vector<Handle*> ChildrenOf(const Handle* parent) const;
  // A thread's heap allocates from regions of its own (glibc gives each thread's arena heaps of
  // 64 MiB, aligned to their size), so the region picks a group of shards and the low bits spread
  // the handles within it: workers on threads of their own then seldom share a shard's lock or
  // its cache lines.
  Shard& ShardOf(const void* pointer) const {
    const auto bits = reinterpret_cast<uintptr_t>(pointer);
    const uintptr_t region = bits >> 26, within = (bits >> 4 ^ bits >> 10) % kShardsPerRegion;
    return shards_[(region * kShardsPerRegion + within) % kShards];
  }

  mutable Shard shards_[kShards];
};

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_HANDLES_H_
