// `txhost exports`: the rules a library exports, with their ordinals and parameter kinds.
#ifndef TXSCREEN_HOST_EXPORTS_COMMAND_H_
#define TXSCREEN_HOST_EXPORTS_COMMAND_H_

#include <string>

namespace txhost {

// Loads the library (a catalog name or a path) and prints one line per rule it exports:
// "ordinal NAME(kind, ...)", the ordinal being "-" where the platform has none. Returns 0, or 1
// when the library cannot be loaded.
int RunExports(const std::string& library_directory, const std::string& library);

}  // namespace txhost

#endif  // TXSCREEN_HOST_EXPORTS_COMMAND_H_
