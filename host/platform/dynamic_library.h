// A rule library loaded at run time and looked up by exported name, as a host loads one.
#ifndef TXSCREEN_HOST_PLATFORM_DYNAMIC_LIBRARY_H_
#define TXSCREEN_HOST_PLATFORM_DYNAMIC_LIBRARY_H_

#include <memory>
#include <string>

namespace txhost {

class DynamicLibrary {
 public:
  // Loads the library at `path`. Gives null and the loader's reason when the load fails.
  static std::unique_ptr<DynamicLibrary> Open(const std::string& path, std::string* error);
  ~DynamicLibrary();  // unloads
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // The export named `name`, or null.
  void* Find(const char* name) const;
  // The export with `ordinal`, or null; always null where the platform has no ordinals.
  void* FindOrdinal(unsigned ordinal) const;
  // The module handle (HMODULE) or dlopen handle.
  void* native() const { return handle_; }

  // The file name of a library called `name` on this platform: txscreen.dll, libtxscreen.so.
  static std::string FileName(const std::string& name);
  // The directory of the running program, where the libraries are built and installed.
  static std::string ProgramDirectory();

  // Takes the current directory out of the places the loader searches, before anything is
  // loaded by name, so that a library planted there (a false oci.dll) is never loaded. On
  // Windows what remains is: the program's directory, the system directories, then PATH, where
  // a client-library installation is normally found. ELF loaders never search it unless told.
  static void KeepCurrentDirectoryOutOfSearch();

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_DYNAMIC_LIBRARY_H_
