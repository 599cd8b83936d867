// The rule libraries a host run has loaded, found by catalog name in one directory.
#ifndef TXSCREEN_HOST_LIBRARY_SET_H_
#define TXSCREEN_HOST_LIBRARY_SET_H_

#include <map>
#include <memory>
#include <string>

#include "dynamic_library.h"
#include "rule_catalog.h"

namespace txhost {

class LibrarySet {
 public:
  explicit LibrarySet(std::string directory) : directory_(std::move(directory)) {}

  // The library called `name` ("txscreen"), loaded on first use; null and a reason on failure.
  const DynamicLibrary* Load(const std::string& name, std::string* error);
  // The exported address of `rule`, loading its library first; null and a reason on failure.
  void* Resolve(const RuleSpec& rule, std::string* error);

  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::map<std::string, std::unique_ptr<DynamicLibrary>> loaded_;
};

// "txscreen" for "txscreen", "txscreen.dll", "libtxscreen.so" or a path ending in either.
std::string LibraryName(const std::string& name_or_path);
// The directory of a library given by path, or `otherwise` for a bare name.
std::string LibraryDirectory(const std::string& name_or_path, const std::string& otherwise);

}  // namespace txhost

#endif  // TXSCREEN_HOST_LIBRARY_SET_H_
