// DynamicLibrary on ELF platforms: dlopen and dlsym.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "dynamic_library.h"

namespace txhost {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error) {
  // RTLD_LOCAL keeps one library's symbols from answering another's look-ups.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = reason ? reason : path + ": cannot be loaded";
    return nullptr;
  }
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

DynamicLibrary::~DynamicLibrary() { dlclose(handle_); }

void* DynamicLibrary::Find(const char* name) const { return dlsym(handle_, name); }

void* DynamicLibrary::FindOrdinal(unsigned) const { return nullptr; }

void DynamicLibrary::KeepCurrentDirectoryOutOfSearch() {}

std::string DynamicLibrary::FileName(const std::string& name) { return "lib" + name + ".so"; }

std::string DynamicLibrary::ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string program(path, static_cast<size_t>(length));
  return program.substr(0, program.rfind('/'));
}

}  // namespace txhost
