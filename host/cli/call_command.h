// `txhost call`: one rule, called once, with arguments from the command line.
#ifndef TXSCREEN_HOST_CLI_CALL_COMMAND_H_
#define TXSCREEN_HOST_CLI_CALL_COMMAND_H_

#include <string>
#include <vector>

namespace txhost {

struct CallOptions {
  std::string library_directory;
  std::string library;  // a path as given, or a bare name in library_directory
  std::string rule;
  std::vector<std::string> args;
  // user[/password]@service of the session a database rule runs on; wiped once it has begun.
  mutable std::string connect;
  std::string password_file;
};

// Prints the rule's answer (0 or 1) on standard output and returns kExitOk; on a usage or set-up
// error prints the reason on standard error and returns kExitUsage. Alerts are shown as the
// libraries show them: a message box on Windows, standard error elsewhere.
int RunCall(const CallOptions& options);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_CALL_COMMAND_H_
