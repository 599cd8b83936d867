// What the host asks of the file system to publish its outputs without harming what is there.
#ifndef TXSCREEN_HOST_PLATFORM_FILE_SYSTEM_H_
#define TXSCREEN_HOST_PLATFORM_FILE_SYSTEM_H_

#include <cstdio>
#include <string>

namespace txhost {

// The system's text for an errno value: "No such file or directory".
std::string ErrnoText(int error);
// The system's text for the last error of a Windows call (GetLastError); elsewhere, of errno.
std::string LastSystemErrorText();

struct PathFacts {
  bool exists = false;
  bool is_directory = false;
  // A device, pipe or socket: written to as it is, never replaced.
  bool is_special = false;
  // Equal for two paths exactly when they name the same file, however they are spelt: a file's
  // device and inode (volume and file index on Windows), or, for a file not there yet, those of
  // its directory and its name.
  std::string identity;
};

// Learns what `path` is. False, with "path: reason", when neither it nor its directory exists
// or can be examined.
bool InspectPath(const std::string& path, PathFacts* facts, std::string* error);

// Creates and opens for writing a new file in the directory of `path` that no one else has, with
// the permissions a new file at `path` would get (an existing file's, when there is one).
// While it is open, RemoveFile can take it away (Windows too).
std::FILE* CreateFileBeside(const std::string& path, std::string* created, std::string* error);

// Puts `from` in the place of `to` in one step, replacing what was there.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error);

// Removes a file; safe to call from an interrupt handler.
void RemoveFile(const char* path);

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_FILE_SYSTEM_H_
