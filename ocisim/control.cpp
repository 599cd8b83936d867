// The control interface: what tests and the reference host use to script and inspect the stand-in.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "ocisim.h"
#include "state.h"

using ocisim::Database;
using ocisim::GlobalState;
using ocisim::State;

namespace {

size_t CopyText(const std::string& text, char* buf, size_t size) {
  if (buf != nullptr && size > 0) {
    size_t length = std::min(text.size(), size - 1);
    std::memcpy(buf, text.data(), length);
    buf[length] = '\0';
  }
  return text.size();
}

// Runs `read` on the entry `index` of the call log (null when there is none), under its lock.
template <class Read>
auto WithEntry(size_t index, Read read) {
  return GlobalState().log.Read([&](const std::deque<ocisim::LogEntry>& log) {
    return read(index < log.size() ? &log[index] : nullptr);
  });
}

// Runs `change` on the database defined under `service`; -1 when there is none. Databases are
// set up before sessions use them.
template <class Change>
int WithDatabase(const char* service, Change change) {
  auto database = GlobalState().databases.FindDefined(service);
  if (!database) return -1;
  change(*database);
  return 0;
}


}  // namespace

extern "C" {

void ocisim_reset(void) { GlobalState().ResetAndLog(); }

void ocisim_fail_call(const char* function, unsigned nth, sword status, const char* error_text) {
  GlobalState().faults.Add({function, nth, status, error_text ? error_text : ""});
}

void ocisim_clear_log(void) { GlobalState().ClearLog(); }

size_t ocisim_pending_faults(void) { return GlobalState().faults.Pending(); }

void ocisim_clear_faults(void) { GlobalState().faults.Clear(); }

void ocisim_set_call_log(int enabled) { GlobalState().log_enabled = enabled != 0; }

size_t ocisim_call_count(void) { return static_cast<size_t>(GlobalState().calls.Total()); }

size_t ocisim_logged_call_count(void) {
  return GlobalState().log.Read([](const std::deque<ocisim::LogEntry>& log) { return log.size(); });
}

size_t ocisim_call_function(size_t index, char* buf, size_t size) {
  return WithEntry(index, [&](const ocisim::LogEntry* entry) {
    return CopyText(entry ? entry->function : "", buf, size);
  });
}

sword ocisim_call_status(size_t index) {
  return WithEntry(index, [&](const ocisim::LogEntry* entry) {
    return entry ? entry->status : OCI_INVALID_HANDLE;
  });
}

size_t ocisim_call_arg_count(size_t index) {
  return WithEntry(index, [&](const ocisim::LogEntry* entry) {
    return entry ? entry->args.size() : 0;
  });
}

size_t ocisim_call_arg_name(size_t index, size_t arg, char* buf, size_t size) {
  return WithEntry(index, [&](const ocisim::LogEntry* entry) {
    bool found = entry && arg < entry->args.size();
    return CopyText(found ? entry->args[arg].first : "", buf, size);
  });
}

size_t ocisim_call_arg_value(size_t index, size_t arg, char* buf, size_t size) {
  return WithEntry(index, [&](const ocisim::LogEntry* entry) {
    bool found = entry && arg < entry->args.size();
    return CopyText(found ? entry->args[arg].second : "", buf, size);
  });
}

size_t ocisim_live_handles(ub4 type) { return GlobalState().handles.LiveCount(type); }

size_t ocisim_violation_count(void) { return GlobalState().violations.Count(); }

size_t ocisim_violation_text(size_t index, char* buf, size_t size) {
  return CopyText(GlobalState().violations.Text(index), buf, size);
}

void ocisim_define_database(const char* service) { GlobalState().databases.Define(service); }

int ocisim_load_database(const char* service, const char* directory, char* error, size_t size) {
  std::string problem;
  auto database = ocisim::LoadDatabase(directory, &problem);
  if (!database) {
    CopyText(problem, error, size);
    return -1;
  }
  GlobalState().databases.Define(service, database);
  return 0;
}

int ocisim_add_user(const char* service, const char* user, const char* password) {
  return WithDatabase(
      service, [&](Database& database) { database.passwords[ocisim::UpperCase(user)] = password; });
}

int ocisim_add_history(const char* service, const char* account, double amount) {
  return WithDatabase(service,
                      [&](Database& database) { database.history[account].push_back(amount); });
}

int ocisim_set_procedure(const char* service, int body, sword risk, const char* error_text) {
  return WithDatabase(service, [&](Database& database) {
    database.body = static_cast<ocisim::ProcedureBody>(body);
    database.fixed_risk = risk;
    database.raise_text = error_text ? error_text : "";
  });
}

int ocisim_set_open_cursor_limit(const char* service, size_t limit) {
  return WithDatabase(service, [&](Database& database) { database.open_cursor_limit = limit; });
}

size_t ocisim_open_cursors(void) {
  size_t open = 0;
  GlobalState().handles.ForEach([&](const ocisim::Handle& handle) {
    if (handle.type != OCI_HTYPE_SESSION) return;
    auto& session = const_cast<ocisim::Session&>(static_cast<const ocisim::Session&>(handle));
    txscreen::MutexLock lock(&session.cursors_mutex);
    open += session.open_cursors.size();
  });
  return open;
}

int ocisim_set_server_model(const char* service, unsigned round_trip_us, size_t session_limit) {
  return WithDatabase(service, [&](Database& database) {
    database.round_trip = std::chrono::microseconds(round_trip_us);
    database.session_limit = session_limit;
    database.most_round_trips = 0;
  });
}

size_t ocisim_most_round_trips_at_once(const char* service) {
  size_t most = 0;
  WithDatabase(service, [&](Database& database) { most = database.most_round_trips.load(); });
  return most;
}

size_t ocisim_pointer_text(const void* pointer, char* buf, size_t size) {
  return CopyText(ocisim::PointerText(pointer), buf, size);
}

}  // extern "C"
