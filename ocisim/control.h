// C++ view of the stand-in's control interface: the call log, violations and handle counts.
#ifndef TXSCREEN_OCISIM_CONTROL_H_
#define TXSCREEN_OCISIM_CONTROL_H_

#include <map>
#include <string>
#include <vector>

#include "ocisim.h"

namespace ocisim {

struct LoggedCall {
  std::string function;
  sword status = 0;
  std::map<std::string, std::string> args;

  // The argument's logged text, or "<absent>" when the call has no argument of that name.
  std::string Arg(const std::string& name) const {
    auto it = args.find(name);
    return it == args.end() ? "<absent>" : it->second;
  }
};

template <class Getter>
std::string ReadText(Getter get) {
  std::string text(get(nullptr, 0), '\0');
  get(&text[0], text.size() + 1);
  return text;
}

// How the call log shows `pointer`.
inline std::string LoggedPointer(const void* pointer) {
  return ReadText([&](char* buf, size_t size) { return ocisim_pointer_text(pointer, buf, size); });
}

inline std::vector<LoggedCall> CallLog() {
  std::vector<LoggedCall> calls;
  size_t count = ocisim_logged_call_count();
  for (size_t i = 0; i < count; ++i) {
    LoggedCall call;
    call.function =
        ReadText([&](char* buf, size_t size) { return ocisim_call_function(i, buf, size); });
    call.status = ocisim_call_status(i);
    for (size_t a = 0, n = ocisim_call_arg_count(i); a < n; ++a) {
      std::string name =
          ReadText([&](char* buf, size_t size) { return ocisim_call_arg_name(i, a, buf, size); });
      call.args[name] =
          ReadText([&](char* buf, size_t size) { return ocisim_call_arg_value(i, a, buf, size); });
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

inline std::vector<LoggedCall> CallsTo(const std::string& function) {
  std::vector<LoggedCall> calls;
  for (LoggedCall& call : CallLog()) {
    if (call.function == function) calls.push_back(std::move(call));
  }
  return calls;
}

// The functions called, in order, for asserting on a sequence.
inline std::vector<std::string> CallSequence() {
  std::vector<std::string> names;
  for (const LoggedCall& call : CallLog()) names.push_back(call.function);
  return names;
}

inline std::vector<std::string> Violations() {
  std::vector<std::string> texts;
  for (size_t i = 0, n = ocisim_violation_count(); i < n; ++i) {
    texts.push_back(
        ReadText([&](char* buf, size_t size) { return ocisim_violation_text(i, buf, size); }));
  }
  return texts;
}

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_CONTROL_H_
