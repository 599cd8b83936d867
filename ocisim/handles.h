// The stand-in's handles: one C++ object per client-library handle, owned by a registry.
#ifndef TXSCREEN_OCISIM_HANDLES_H_
#define TXSCREEN_OCISIM_HANDLES_H_

#include <cstdint>
#include <deque>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "database.h"
#include "oci_api.h"
#include "plsql.h"

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
  // Undoes what the handle holds elsewhere, just before it is freed.
  virtual void Release(Registry&) {}

  const ub4 type;
  uint64_t serial = 0;       // unique for the life of the process
  Handle* parent = nullptr;  // null only for an environment
  std::vector<Handle*> children;
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
  std::shared_ptr<Database> database;  // set while attached
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
  bool lost = false;  // the connection broke; every call on the session fails
  std::shared_ptr<SessionCount> counted;  // set while the session counts against a limit

  // A statement may be freed on any thread, so its cursor has a lock of its own.
  std::mutex cursors_mutex;
  std::set<uint64_t> open_cursors;  // serials of the statements executed in this session
};

struct ServiceContext : Handle {
  ServiceContext() : Handle(OCI_HTYPE_SVCCTX) {}
  Ref server;
  Ref session;
  // A session serves one call at a time, as a real server's does: the calls that go through a
  // service context hold this for their whole length, round trip included.
  std::mutex calls;
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
// Its lock guards the set of handles and the parent-child links; a handle's own fields belong to
// the calls that use it.
class Registry {
 public:
  template <class T, class... Args>
  T* Create(Handle* parent, Args&&... args) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto owned = std::make_unique<T>(std::forward<Args>(args)...);
    T* handle = owned.get();
    handle->serial = ++last_serial_;
    handle->parent = parent;
    if (parent != nullptr) parent->children.push_back(handle);
    live_.emplace(handle, std::move(owned));
    return handle;
  }

  // Frees the handle and, first, all its children.
  void Destroy(Handle* handle);

  // The live handle at `pointer`, or null.
  Handle* Find(const void* pointer) const;
  template <class T>
  T* Resolve(const Ref& ref, ub4 type) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Handle* handle = Find(ref.address);
    return handle && handle->serial == ref.serial && handle->type == type ? static_cast<T*>(handle)
                                                                          : nullptr;
  }
  static Ref RefTo(const Handle* handle) { return {handle, handle->serial}; }

  template <class Visit>
  void ForEach(Visit visit) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto& entry : live_) visit(*entry.second);
  }
  bool WasFreed(const void* pointer) const;
  size_t LiveCount(ub4 type) const;  // type 0 counts all
  void Clear();

 private:
  static constexpr size_t kQuarantine = 256;

  // Recursive: freeing a handle releases what it holds, which looks handles up again.
  mutable std::recursive_mutex mutex_;
  uint64_t last_serial_ = 0;
  std::unordered_map<const void*, std::unique_ptr<Handle>> live_;
  std::deque<std::unique_ptr<Handle>> quarantine_;
  std::unordered_set<const void*> quarantined_;
};

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_HANDLES_H_
