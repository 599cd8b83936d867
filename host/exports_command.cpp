// `txhost exports`: each catalog rule of a library, confirmed by a look-up in the loaded file.
#include "exports_command.h"

#include <cstdio>

#include "library_set.h"
#include "rule_catalog.h"

namespace txhost {

int RunExports(const std::string& library_directory, const std::string& library) {
  std::string name = LibraryName(library);
  std::string directory = LibraryDirectory(library, library_directory);
  LibrarySet libraries(directory);
  std::string error;
  const DynamicLibrary* loaded = libraries.Load(name, &error);
  if (loaded == nullptr) {
    std::fprintf(stderr, "txhost exports: %s\n", error.c_str());
    return 1;
  }
  for (const RuleSpec& rule : RuleCatalog()) {
    if (name != rule.library) continue;
    void* address = loaded->Find(rule.name);
    if (address == nullptr) continue;
    std::string kinds = KindList(rule.params);
    // Where ordinals exist, the one printed is the one that leads to the same address.
    bool by_ordinal = loaded->FindOrdinal(rule.ordinal) == address;
    std::string ordinal = by_ordinal ? std::to_string(rule.ordinal) : "-";
    std::printf("%-2s %s(%s)\n", ordinal.c_str(), rule.name, kinds.c_str());
  }
  return 0;
}

}  // namespace txhost
