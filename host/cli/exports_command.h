// `txhost exports`: the rules a library exports, with their ordinals and parameter kinds.
#ifndef TXSCREEN_HOST_CLI_EXPORTS_COMMAND_H_
#define TXSCREEN_HOST_CLI_EXPORTS_COMMAND_H_

#include <string>

namespace txhost {

// Loads the library (a path as given, or a bare name in `library_directory`) and prints one line
// per known rule it exports: "ordinal NAME(kind, ...)", the ordinal being "-" where the platform
// has none. Returns kExitOk, or kExitUsage when the file cannot be loaded or exports no known
// rule.
int RunExports(const std::string& library_directory, const std::string& library);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_EXPORTS_COMMAND_H_
