// Loading the rule libraries by catalog name and resolving rules in them.
#include "library_set.h"

namespace txhost {

const DynamicLibrary* LibrarySet::Load(const std::string& name, std::string* error) {
  auto it = loaded_.find(name);
  if (it != loaded_.end()) return it->second.get();
  std::string path = LibraryPath(name, directory_);
  auto library = DynamicLibrary::Open(path, error);
  if (!library) return nullptr;
  return (loaded_[name] = std::move(library)).get();
}

void* LibrarySet::Resolve(const RuleSpec& rule, std::string* error) {
  const DynamicLibrary* library = Load(rule.library, error);
  if (library == nullptr) return nullptr;
  void* address = library->Find(rule.name);
  if (address == nullptr) {
    *error = DynamicLibrary::FileName(rule.library) + " does not export " + rule.name;
  }
  return address;
}

std::vector<const DynamicLibrary*> LibrarySet::Loaded() const {
  std::vector<const DynamicLibrary*> libraries;
  for (const auto& entry : loaded_) libraries.push_back(entry.second.get());
  return libraries;
}

std::vector<std::string> LibrarySet::LoadedFiles() const {
  std::vector<std::string> files;
  for (const auto& entry : loaded_) files.push_back(LibraryPath(entry.first, directory_));
  return files;
}

std::string LibraryPath(const std::string& argument, const std::string& directory) {
  if (argument.find_first_of("/\\") != std::string::npos) return argument;
  std::string file = DynamicLibrary::FileName(argument);
  std::string extension = file.substr(file.rfind('.'));
  bool has_extension =
      argument.size() > extension.size() &&
      argument.compare(argument.size() - extension.size(), extension.size(), extension) == 0;
  return directory + "/" + (has_extension ? argument : file);
}

}  // namespace txhost
