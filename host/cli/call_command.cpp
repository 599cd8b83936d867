// `txhost call`: resolve one rule by name, convert its arguments, call it, print the answer.
#include "call_command.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "credentials.h"
#include "exit_status.h"
#include "file_system.h"
#include "library_set.h"
#include "rule_catalog.h"
#include "session.h"
#include "values.h"

namespace txhost {
namespace {

int UsageError(const std::string& message) {
  std::fprintf(stderr, "txhost call: %s\n", message.c_str());
  return kExitUsage;
}

const RuleSpec* FindRuleNamed(const std::string& name) {
  for (const RuleSpec& rule : RuleCatalog()) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

}  // namespace

int RunCall(const CallOptions& options) {
  const RuleSpec* rule = FindRuleNamed(options.rule);
  if (rule == nullptr) return UsageError(options.rule + " is not a rule txhost knows");
  std::vector<ParamKind> kinds = rule->ValueParams();
  if (options.args.size() != kinds.size()) {
    return UsageError(options.rule + " takes " + std::to_string(kinds.size()) + " arguments (" +
                      KindList(kinds) + "), not " + std::to_string(options.args.size()));
  }
  std::vector<Value> values(kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::string error;
    if (!ParseValue(kinds[i], options.args[i], &values[i], &error)) {
      return UsageError("argument " + std::to_string(i + 1) + ": " +
                        BadValue(options.args[i], error));
    }
  }
  std::unique_ptr<HostSession> session;
  std::string error;
  if (rule->TakesHandles()) {
    if (options.connect.empty()) {
      return UsageError(options.rule + " runs on a database session: give --connect");
    }
    ConnectString login;
    bool resolved = ResolveLogin(options.connect, options.password_file, &login, &error);
    Wipe(&options.connect);
    if (!resolved) return UsageError(error);
    session = HostSession::Open(login, false, &error);
    Wipe(&login.password);
    if (!session) return UsageError(error);
  }

  std::string path = LibraryPath(options.library, options.library_directory);
  auto library = DynamicLibrary::Open(path, &error);
  if (!library) return UsageError(error);
  void* function = library->Find(rule->name);
  if (function == nullptr) return UsageError(path + " does not export " + rule->name);
  OciHandles handles = session ? session->handles() : OciHandles{};
  std::vector<const Value*> args;
  for (const Value& value : values) args.push_back(&value);
  RuleResult answer = rule->invoke(function, handles, args.data());
  if (std::printf("%d\n", static_cast<int>(answer)) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "txhost call: standard output: %s\n", ErrnoText(errno).c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace txhost
