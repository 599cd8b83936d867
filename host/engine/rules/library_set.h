// The rule libraries a host run has loaded, found by catalog name in one directory.
#ifndef TXSCREEN_HOST_ENGINE_RULES_LIBRARY_SET_H_
#define TXSCREEN_HOST_ENGINE_RULES_LIBRARY_SET_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

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
  // Every library loaded so far.
  std::vector<const DynamicLibrary*> Loaded() const;
  // The files of the libraries loaded so far: inputs, which no output may replace.
  std::vector<std::string> LoadedFiles() const;

 private:
  std::string directory_;
  std::map<std::string, std::unique_ptr<DynamicLibrary>> loaded_;
};

// The library file a command-line argument names: a path (anything with a directory separator)
// as given; a bare name in `directory`, as the platform names a library file ("txscreen" is
// libtxscreen.so or txscreen.dll) unless it already carries the platform's extension.
std::string LibraryPath(const std::string& argument, const std::string& directory);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_LIBRARY_SET_H_
