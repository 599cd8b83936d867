// The stand-in's shared state, the call frame, and fault injection.
#include "state.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace ocisim {

size_t SpreadCount::Slot() {
  static std::atomic<size_t> next{0};
  thread_local size_t slot = next++ % kSlots;
  return slot;
}

void State::ResetAndLog() {
  handles.Clear();
  databases.Clear();
  log_enabled = true;
  ClearLog();
  faults.Clear();
  statements.Clear();
}

void State::ClearLog() {
  log.Clear();
  calls.Clear();
  violations.Clear();
}

void FaultList::Add(Fault fault) {
  txscreen::MutexLock lock(&mutex_);
  faults_.push_back(std::move(fault));
  Counted();
}

void FaultList::Clear() {
  txscreen::MutexLock lock(&mutex_);
  faults_.clear();
  Counted();
}

std::optional<Fault> FaultList::Take(const char* function) {
  if (count_.load() == 0) return std::nullopt;
  txscreen::MutexLock lock(&mutex_);
  std::optional<Fault> taken;
  for (auto it = faults_.begin(); it != faults_.end();) {
    if (it->function != function) {
      ++it;
    } else if (it->remaining == 0) {
      if (!taken) taken = *it;
      ++it;
    } else if (--it->remaining == 0) {
      if (!taken) taken = *it;
      it = faults_.erase(it);
    } else {
      ++it;
    }
  }
  Counted();
  return taken;
}

void CallLog::Append(LogEntry entry) {
  txscreen::MutexLock lock(&mutex_);
  if (entries_.size() == kCapacity) entries_.pop_front();
  entries_.push_back(std::move(entry));
}

void CallLog::Clear() {
  txscreen::MutexLock lock(&mutex_);
  entries_.clear();
}

void ViolationList::Add(std::string text) {
  txscreen::MutexLock lock(&mutex_);
  if (texts_.size() < kCapacity) texts_.push_back(std::move(text));
}

void ViolationList::Clear() {
  txscreen::MutexLock lock(&mutex_);
  texts_.clear();
}

size_t ViolationList::Count() {
  txscreen::MutexLock lock(&mutex_);
  return texts_.size();
}

std::string ViolationList::Text(size_t index) {
  txscreen::MutexLock lock(&mutex_);
  return index < texts_.size() ? texts_[index] : "";
}

std::shared_ptr<const ParsedStatement> ParseCache::Parse(const std::string& text) {
  txscreen::MutexLock lock(&mutex_);
  auto it = parsed_.find(text);
  if (it != parsed_.end()) return it->second;
  constexpr size_t kMaxTexts = 1024;  // a host that builds its texts must not grow this forever
  if (parsed_.size() >= kMaxTexts) parsed_.clear();
  auto parsed = std::make_shared<ParsedStatement>(ParseStatement(text));
  parsed_.emplace(text, parsed);
  return parsed;
}

void ParseCache::Clear() {
  txscreen::MutexLock lock(&mutex_);
  parsed_.clear();
}

State& GlobalState() {
  static State state;
  return state;
}

std::string PointerText(const void* pointer) {
  if (pointer == nullptr) return "null";
  char text[2 + 2 * sizeof(uintptr_t) + 1];
  std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(pointer));
  return text;
}

Call::Call(const char* function)
    : state_(GlobalState()), logging_(state_.log_enabled), fault_(state_.faults.Take(function)) {
  entry_.function = function;
  entry_.status = OCI_SUCCESS;
}

Call::~Call() {
  state_.calls.Add();
  if (logging_) state_.log.Append(std::move(entry_));
}

Call& Call::Text(const char* name, const OraText* text, sb4 length) {
  if (!logging_) return *this;
  if (text == nullptr) {
    entry_.args.emplace_back(name, "null");
  } else {
    const char* chars = reinterpret_cast<const char*>(text);
    entry_.args.emplace_back(
        name, length < 0 ? std::string(chars) : std::string(chars, strnlen(chars, length)));
  }
  return *this;
}

Call& Call::Note(const char* name, std::string value) {
  if (logging_) entry_.args.emplace_back(name, std::move(value));
  return *this;
}

std::optional<sword> Call::Injected(ErrorRecord* record) {
  if (!fault_ || fault_->status == OCI_SUCCESS || fault_->status == OCI_SUCCESS_WITH_INFO) {
    return std::nullopt;
  }
  if (fault_->status == OCI_ERROR && record != nullptr) record->Set(fault_->error_text);
  entry_.status = fault_->status;
  return fault_->status;
}

sword Call::Return(sword status) {
  if (fault_ && (status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO) &&
      (fault_->status == OCI_SUCCESS || fault_->status == OCI_SUCCESS_WITH_INFO)) {
    status = fault_->status;
  }
  entry_.status = status;
  return status;
}

sword Call::Fail(ErrorRecord* record, const std::string& message) {
  if (record != nullptr) record->Set(message);
  return Return(OCI_ERROR);
}

sword Call::Violation(sword status, const std::string& what) {
  RecordViolation(what);
  return Return(status);
}

void Call::RecordViolation(const std::string& what) {
  state_.violations.Add(std::string(entry_.function) + ": " + what);
}

ErrorRecord* Call::Errors(const void* errhp) {
  auto* err = Find<ErrorHandle>("errhp", errhp, OCI_HTYPE_ERROR);
  if (err == nullptr) return nullptr;
  err->record.Clear();
  return &err->record;
}

Handle* Call::FindHandle(const char* parameter, const void* pointer, ub4 type) {
  const char* problem = nullptr;
  Handle* handle = nullptr;
  if (pointer == nullptr) {
    problem = "is a null handle";
  } else if ((handle = state_.handles.Find(pointer)) == nullptr) {
    problem = state_.handles.WasFreed(pointer) ? "is a freed handle" : "is not a handle";
  } else if (handle->type != type) {
    problem = "is a handle of another type";
    handle = nullptr;
  }
  if (problem != nullptr) {
    RecordViolation(std::string(parameter) + " " + problem + " (type " + std::to_string(type) +
                    " expected)");
  }
  return handle;
}

}  // namespace ocisim
