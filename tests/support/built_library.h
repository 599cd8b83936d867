// The rule libraries built beside the test program, loaded as a host loads them.
#ifndef TXSCREEN_TESTS_SUPPORT_BUILT_LIBRARY_H_
#define TXSCREEN_TESTS_SUPPORT_BUILT_LIBRARY_H_

#include <memory>
#include <string>

#include "dynamic_library.h"

namespace testing_support {

// The path of the library called `name` ("txscreen") in the test program's directory.
std::string BuiltLibraryPath(const std::string& name);

// Loads it; a failed load aborts the test program with the loader's reason.
std::unique_ptr<txhost::DynamicLibrary> LoadBuiltLibrary(const std::string& name);

// A loaded library and typed look-ups of its rules.
class RuleLibrary {
 public:
  explicit RuleLibrary(const std::string& name) : library_(LoadBuiltLibrary(name)) {}

  // The rule's address as the public header's function-pointer type; null when not exported.
  template <class Function>
  Function Rule(const char* name) const {
    return reinterpret_cast<Function>(library_->Find(name));
  }
  void* native() const { return library_->native(); }

 private:
  std::unique_ptr<txhost::DynamicLibrary> library_;
};

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_BUILT_LIBRARY_H_
