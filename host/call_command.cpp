// `txhost call`: resolve one rule by name, convert its arguments, call it, print the answer.
#include "call_command.h"

#include <cstdio>
#include <memory>

#include "library_set.h"
#include "rule_catalog.h"
#include "session.h"
#include "values.h"

namespace txhost {
namespace {

int UsageError(const std::string& message) {
  std::fprintf(stderr, "txhost call: %s\n", message.c_str());
  return 2;
}

}  // namespace

int RunCall(const CallOptions& options) {
  std::string library = LibraryName(options.library);
  std::string directory = LibraryDirectory(options.library, options.library_directory);

  const RuleSpec* rule = FindRule(library, options.rule);
  if (rule == nullptr) return UsageError(library + " has no rule " + options.rule);
  std::vector<ParamKind> kinds = rule->ValueParams();
  if (options.args.size() != kinds.size()) {
    return UsageError(options.rule + " takes " + std::to_string(kinds.size()) + " arguments (" +
                      KindList(kinds) + "), not " + std::to_string(options.args.size()));
  }
  std::vector<Value> values(kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::string error;
    if (!ParseValue(kinds[i], options.args[i], &values[i], &error)) {
      return UsageError("argument " + std::to_string(i + 1) + ": " + error);
    }
  }
  std::unique_ptr<HostSession> session;
  std::string error;
  if (rule->TakesHandles()) {
    ConnectString connect;
    if (options.connect.empty()) {
      return UsageError(options.rule + " runs on a database session: give --connect");
    }
    if (!ParseConnectString(options.connect, &connect, &error)) return UsageError(error);
    session = HostSession::Open(connect, false, &error);
    if (!session) return UsageError(error);
  }

  LibrarySet libraries(directory);
  void* function = libraries.Resolve(*rule, &error);
  if (function == nullptr) return UsageError(error);
  OciHandles handles = session ? session->handles() : OciHandles{};
  RuleResult answer = rule->invoke(function, handles, values.data());
  std::printf("%d\n", static_cast<int>(answer));
  return 0;
}

}  // namespace txhost
