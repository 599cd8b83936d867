// Loading the rule libraries by catalog name and resolving rules in them.
#include "library_set.h"

namespace txhost {

const DynamicLibrary* LibrarySet::Load(const std::string& name, std::string* error) {
  auto it = loaded_.find(name);
  if (it != loaded_.end()) return it->second.get();
  std::string path = directory_ + "/" + DynamicLibrary::FileName(name);
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

std::string LibraryDirectory(const std::string& name_or_path, const std::string& otherwise) {
  size_t slash = name_or_path.find_last_of("/\\");
  return slash == std::string::npos ? otherwise : name_or_path.substr(0, slash);
}

std::string LibraryName(const std::string& name_or_path) {
  std::string name = name_or_path.substr(name_or_path.find_last_of("/\\") + 1);
  for (const char* suffix : {".dll", ".so"}) {
    std::string ending(suffix);
    if (name.size() > ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
      name.erase(name.size() - ending.size());
      if (ending == ".so" && name.compare(0, 3, "lib") == 0) name.erase(0, 3);
    }
  }
  return name;
}

}  // namespace txhost
