// `txhost call`: one rule, called once, with arguments from the command line.
#ifndef TXSCREEN_HOST_CALL_COMMAND_H_
#define TXSCREEN_HOST_CALL_COMMAND_H_

#include <string>
#include <vector>

namespace txhost {

struct CallOptions {
  std::string library_directory;
  std::string library;  // catalog name or a path to the library file
  std::string rule;
  std::vector<std::string> args;
  // user/password@service of the session a database rule runs on.
  std::string connect;
};

// Prints the rule's answer (0 or 1) on standard output and returns 0; on a usage error prints
// the reason on standard error and returns 2.
int RunCall(const CallOptions& options);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CALL_COMMAND_H_
