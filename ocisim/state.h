// The stand-in's shared state and the frame every client-library call runs in. There is no lock
// over a whole call: the handles, the databases, the statement cache, the faults, the log and the
// violations each have their own, private and held only while they are read or changed, and a
// service context serialises the calls on its session. Calls on different sessions run side by
// side.
#ifndef TXSCREEN_OCISIM_STATE_H_
#define TXSCREEN_OCISIM_STATE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "database.h"
#include "handles.h"
#include "oci_api.h"
#include "plsql.h"
#include "thread_annotations.h"

namespace ocisim {

struct LogEntry {
  const char* function;
  sword status;
  std::vector<std::pair<const char*, std::string>> args;
};

struct Fault {
  std::string function;
  unsigned remaining;  // calls to go; 0 means every call
  sword status;
  std::string error_text;
};

// A count that many threads add to: each thread adds to a slot of its own, on a cache line of
// its own, so that sessions on different threads do not take turns at one counter.
class SpreadCount {
 public:
  void Add() { slots_[Slot()].value.fetch_add(1, std::memory_order_relaxed); }
  uint64_t Total() const {
    uint64_t total = 0;
    for (const auto& slot : slots_) total += slot.value.load(std::memory_order_relaxed);
    return total;
  }
  void Clear() {
    for (auto& slot : slots_) slot.value.store(0, std::memory_order_relaxed);
  }

 private:
  static constexpr size_t kSlots = 64;
  static size_t Slot();
  struct alignas(64) Padded {
    std::atomic<uint64_t> value{0};
  };
  Padded slots_[kSlots];
};

// The injected faults: each waits for its call, and the count lets a call skip the lock when
// there is none.
class FaultList {
 public:
  void Add(Fault fault) EXCLUDES(mutex_);
  // The fault that the call of `function` about to start meets, if any; counts it down.
  std::optional<Fault> Take(const char* function) EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);
  size_t Pending() const { return count_.load(); }

 private:
  void Counted() REQUIRES(mutex_) { count_ = faults_.size(); }

  txscreen::Mutex mutex_;
  std::vector<Fault> faults_ GUARDED_BY(mutex_);
  std::atomic<size_t> count_{0};
};

// The latest calls, kept while logging is on.
class CallLog {
 public:
  static constexpr size_t kCapacity = 10000;

  void Append(LogEntry entry) EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);
  // Runs `read` on the entries under the log's lock.
  template <class Reader>
  auto Read(Reader read) EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    return read(static_cast<const std::deque<LogEntry>&>(entries_));
  }

 private:
  txscreen::Mutex mutex_;
  std::deque<LogEntry> entries_ GUARDED_BY(mutex_);
};

// Misuse of the interface that the calls recorded.
class ViolationList {
 public:
  static constexpr size_t kCapacity = 10000;

  void Add(std::string text) EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);
  size_t Count() EXCLUDES(mutex_);
  // The text of violation `index`, or empty.
  std::string Text(size_t index) EXCLUDES(mutex_);

 private:
  txscreen::Mutex mutex_;
  std::vector<std::string> texts_ GUARDED_BY(mutex_);
};

// Statement texts already read, so that preparing the same text again costs a look-up.
class ParseCache {
 public:
  std::shared_ptr<const ParsedStatement> Parse(const std::string& text) EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);

 private:
  txscreen::Mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const ParsedStatement>> parsed_
      GUARDED_BY(mutex_);
};

// Each part locks itself.
struct State {
  Registry handles;
  Catalog databases;
  // The details of each call are kept only from the first reset on: a host run does not pay for
  // a log nobody reads. Calls are counted all the same.
  std::atomic<bool> log_enabled{false};
  SpreadCount calls;  // since the last clear of the log
  CallLog log;
  FaultList faults;
  ViolationList violations;
  ParseCache statements;

  // Frees every handle and forgets the databases, the faults, the log and the violations; and
  // turns the log on, since whoever resets the stand-in means to read it.
  void ResetAndLog();
  void ClearLog();
};

State& GlobalState();

std::string PointerText(const void* pointer);

// The frame of one client-library call. It decides at construction whether an injected fault
// applies, and logs the call when it ends. Every exit of a client-library function goes through
// Return, Fail or Violation.
class Call {
 public:
  explicit Call(const char* function);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  State& state() { return state_; }
  // Whether the call is logged; a caller can skip work done only for the log.
  bool logging() const { return logging_; }

  // Inline: most calls are not logged, and then an argument costs a test.
  Call& Arg(const char* name, const void* pointer) {
    if (logging_) entry_.args.emplace_back(name, PointerText(pointer));
    return *this;
  }
  template <class T, class = std::enable_if_t<std::is_integral_v<T>>>
  Call& Arg(const char* name, T value) {
    if (logging_) entry_.args.emplace_back(name, std::to_string(value));
    return *this;
  }
  // A text argument: `length` bytes or up to a terminator within them, or up to the terminator
  // when length is negative.
  Call& Text(const char* name, const OraText* text, sb4 length);
  // Something the call read through a pointer argument, logged under a name of its own.
  Call& Note(const char* name, std::string value);

  // When an injected fault replaces this call, records its error on `record` (which may be null)
  // and gives the status to return; the call must then do nothing.
  std::optional<sword> Injected(ErrorRecord* record);

  // The call's own outcome, after an injected success status has been applied.
  sword Return(sword status);
  // Fails with OCI_ERROR and `message` as the error record.
  sword Fail(ErrorRecord* record, const std::string& message);
  // Records misuse of the interface and returns `status`.
  sword Violation(sword status, const std::string& what);
  void RecordViolation(const std::string& what);

  // Looks up a live handle of the given type. A null, freed, unknown or mistyped handle is
  // recorded as a violation under the parameter's name and gives null.
  template <class T>
  T* Find(const char* parameter, const void* pointer, ub4 type) {
    return static_cast<T*>(FindHandle(parameter, pointer, type));
  }
  // The error handle a call reports on, cleared of what an earlier call left; null when
  // `errhp` is not a live error handle.
  ErrorRecord* Errors(const void* errhp);

 private:
  Handle* FindHandle(const char* parameter, const void* pointer, ub4 type);

  State& state_;
  bool logging_;
  LogEntry entry_;
  std::optional<Fault> fault_;
};

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_STATE_H_
