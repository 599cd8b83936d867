// DynamicLibrary on Windows: LoadLibrary and GetProcAddress, by name or by ordinal.
#include <windows.h>

#include "dynamic_library.h"
#include "file_system.h"

namespace txhost {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = path + ": " + LastSystemErrorText();
    return nullptr;
  }
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module));
}

DynamicLibrary::~DynamicLibrary() { FreeLibrary(static_cast<HMODULE>(handle_)); }

void* DynamicLibrary::Find(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void* DynamicLibrary::FindOrdinal(unsigned ordinal) const {
  return reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(handle_), MAKEINTRESOURCEA(ordinal)));
}

void DynamicLibrary::KeepCurrentDirectoryOutOfSearch() {
  // Naming a directory takes the current one's place in the search. The program's own directory
  // is searched first anyway, so naming it adds nothing. (An empty name would do the same on
  // Windows, but Wine keeps the current directory for it.)
  SetDllDirectoryA(ProgramDirectory().c_str());
}

std::string DynamicLibrary::FileName(const std::string& name) { return name + ".dll"; }

std::string DynamicLibrary::ProgramDirectory() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string program(path, length);
  size_t slash = program.find_last_of("\\/");
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

}  // namespace txhost
