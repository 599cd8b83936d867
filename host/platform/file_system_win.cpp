// The file system on Windows: file indexes for identity, share-delete files and MoveFileEx.
// windows.h comes first: the other system headers rely on it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_system.h"

namespace txhost {

std::string LastSystemErrorText() {
  DWORD code = GetLastError();
  char text[512] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 &&
         (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) {
    text[--length] = 0;
  }
  return length > 0 ? std::string(text) : "error " + std::to_string(code);
}

namespace {

constexpr char kMark[] = ".txhost-";

size_t LastSlash(const std::string& path) { return path.find_last_of("/\\"); }

std::string NameOf(const std::string& path) { return path.substr(LastSlash(path) + 1); }

// Whether the process `id` has ended (or never was).
bool ProcessGone(DWORD id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// The volume and file index of an existing file or directory.
bool Identify(const std::string& path, std::string* identity, bool* is_directory) {
  HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!ok) return false;
  *identity = std::to_string(info.dwVolumeSerialNumber) + ":" +
              std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
  *is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

}  // namespace

const char kPathSeparators[] = "/\\";

bool IsAbsolutePath(const std::string& path) {
  const bool drive = path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  return drive || (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = LastSlash(path);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string ErrnoText(int error) { return std::strerror(error); }

bool InspectPath(const std::string& path, PathFacts* facts, std::string* error) {
  facts->target = path;
  if (Identify(path, &facts->identity, &facts->is_directory)) {
    facts->exists = true;
    return true;
  }
  DWORD code = GetLastError();
  if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
    *error = path + ": " + LastSystemErrorText();
    return false;
  }
  std::string directory = DirectoryOf(path);
  bool is_directory = false;
  if (!Identify(directory, &facts->identity, &is_directory)) {
    *error = path + ": the directory " + directory + ": " + LastSystemErrorText();
    return false;
  }
  if (!is_directory) {
    *error = path + ": " + directory + " is not a directory";
    return false;
  }
  std::string name = path.substr(LastSlash(path) + 1);
  CharUpperBuffA(&name[0], static_cast<DWORD>(name.size()));  // names ignore case here
  facts->exists = false;
  facts->is_directory = false;
  facts->is_special = false;
  facts->identity += "/" + name;
  return true;
}

std::FILE* CreateFileBeside(const std::string& path, std::string* created, std::string* error) {
  std::string directory = DirectoryOf(path);
  std::string base = directory + "\\." + NameOf(path) + kMark +
                     std::to_string(GetCurrentProcessId()) + "-";
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = base + std::to_string(++counter);
    // Share-delete lets an interrupt take the file away while it is still open.
    HANDLE handle =
        CreateFileA(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      *error = path + ": cannot create a file in " + directory + ": " + LastSystemErrorText();
      return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file == nullptr) {
      *error = path + ": " + ErrnoText(errno);
      if (fd < 0) {
        CloseHandle(handle);
      } else {
        _close(fd);
      }
      DeleteFileA(candidate.c_str());
      return nullptr;
    }
    *created = candidate;
    return file;
  }
  *error = path + ": cannot create a file in " + directory + ": too many left-over files";
  return nullptr;
}

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  *error = to + ": " + LastSystemErrorText();
  return false;
}

std::vector<std::string> LeftoverFiles(const std::string& path) {
  std::vector<std::string> leftovers;
  std::string directory = DirectoryOf(path);
  std::string prefix = "." + NameOf(path) + kMark;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "\\" + prefix + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return leftovers;
  do {
    DWORD owner = std::strtoul(found.cFileName + prefix.size(), nullptr, 10);
    if (owner != 0 && ProcessGone(owner)) leftovers.push_back(directory + "\\" + found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return leftovers;
}

bool KeepAside(const std::string& path, std::string* kept, std::string* error) {
  std::string base = DirectoryOf(path) + "\\." + NameOf(path) + kMark +
                     std::to_string(GetCurrentProcessId()) + "-old-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = base + std::to_string(attempt);
    if (CreateHardLinkA(candidate.c_str(), path.c_str(), nullptr)) {
      *kept = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  *error = path + ": cannot keep the old version: " + LastSystemErrorText();
  return false;
}

bool OthersMayRead(const std::string&) { return false; }

void RemoveFile(const char* path) { DeleteFileA(path); }

// One lock for every run of the session: Windows has no lock on a directory that a rename
// respects, and publishing takes a moment.
PublishLock::PublishLock(const std::vector<std::string>&) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "Local\\txhost-publish");
  if (mutex == nullptr) return;
  DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return;
  }
  handles_.push_back(reinterpret_cast<intptr_t>(mutex));
}

PublishLock::~PublishLock() {
  for (intptr_t handle : handles_) {
    ReleaseMutex(reinterpret_cast<HANDLE>(handle));
    CloseHandle(reinterpret_cast<HANDLE>(handle));
  }
}

}  // namespace txhost
