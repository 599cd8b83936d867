// `txhost exports`: each catalog rule that a library file exports, found by a look-up in it.
#include "exports_command.h"

#include <cstdio>

#include "exit_status.h"
#include "file_system.h"
#include "library_set.h"
#include "rule_catalog.h"

namespace txhost {

int RunExports(const std::string& library_directory, const std::string& library) {
  std::string path = LibraryPath(library, library_directory);
  std::string error;
  auto loaded = DynamicLibrary::Open(path, &error);
  if (!loaded) {
    std::fprintf(stderr, "txhost exports: %s\n", error.c_str());
    return kExitUsage;
  }
  size_t found = 0;
  for (const RuleSpec& rule : RuleCatalog()) {
    void* address = loaded->Find(rule.name);
    if (address == nullptr) continue;
    ++found;
    // Where ordinals exist, the one printed is the one that leads to the same address.
    bool by_ordinal = loaded->FindOrdinal(rule.ordinal) == address;
    std::string ordinal = by_ordinal ? std::to_string(rule.ordinal) : "-";
    std::printf("%-2s %s(%s)\n", ordinal.c_str(), rule.name, ParamsWithLists(rule).c_str());
  }
  if (std::ferror(stdout) || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "txhost exports: standard output: %s\n", LastSystemErrorText().c_str());
    return kExitFailed;
  }
  if (found == 0) {
    std::fprintf(stderr, "txhost exports: %s exports none of the rules txhost knows\n",
                 path.c_str());
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace txhost
