// Locating and loading the built rule libraries.
#include "built_library.h"

#include <cstdio>
#include <cstdlib>

namespace testing_support {

std::string BuiltLibraryPath(const std::string& name) {
  return txhost::DynamicLibrary::ProgramDirectory() + "/" + txhost::DynamicLibrary::FileName(name);
}

std::unique_ptr<txhost::DynamicLibrary> LoadBuiltLibrary(const std::string& name) {
  std::string error;
  auto library = txhost::DynamicLibrary::Open(BuiltLibraryPath(name), &error);
  if (!library) {
    std::fprintf(stderr, "cannot load %s: %s\n", name.c_str(), error.c_str());
    std::abort();
  }
  return library;
}

}  // namespace testing_support
