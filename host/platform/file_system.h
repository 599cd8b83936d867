// What the host asks of the file system to publish its outputs without harming what is there.
#ifndef TXSCREEN_HOST_PLATFORM_FILE_SYSTEM_H_
#define TXSCREEN_HOST_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace txhost {

// The characters that end a folder's name in a path: '/', and on Windows the backslash too.
extern const char kPathSeparators[];
// Whether `path` names a file without the working directory: "/x", and on Windows a path from a
// drive or a server as well.
bool IsAbsolutePath(const std::string& path);

// The system's text for an errno value: "No such file or directory".
std::string ErrnoText(int error);
// The system's text for the last error of a Windows call (GetLastError); elsewhere, of errno.
std::string LastSystemErrorText();

struct PathFacts {
  bool exists = false;
  bool is_directory = false;
  // A device, pipe or socket, or any file reached through the system's own directories (/dev,
  // /proc: /dev/stdout, say): written to where it is, never replaced, created or removed.
  bool is_special = false;
  // Where the path leads once every symbolic link on the way is followed: the file a new
  // version is put in place of. The path itself when it is no link.
  std::string target;
  // Equal for two paths exactly when they name the same file, however they are spelt: a file's
  // device and inode (volume and file index on Windows), or, for a file not there yet, those of
  // its directory and its name.
  std::string identity;
};

// Learns what `path` is, following symbolic links. False, with "path: reason", when neither it
// nor its directory exists or can be examined.
bool InspectPath(const std::string& path, PathFacts* facts, std::string* error);

// Creates and opens for writing a new file in the directory of `path` that no one else has, with
// the permissions a new file at `path` would get (an existing file's, when there is one). Its
// name says which process made it (LeftoverFiles). While it is open, RemoveFile can take it away
// (Windows too).
std::FILE* CreateFileBeside(const std::string& path, std::string* created, std::string* error);

// The files that CreateFileBeside or KeepAside made beside `path` for processes that no longer
// run (killed before they could remove them).
std::vector<std::string> LeftoverFiles(const std::string& path);

// Puts `from` in the place of `to` in one step, replacing what was there.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error);

// Keeps what is at `path` under a second name beside it (a hard link), so that it can be put
// back after `path` was replaced. False when the file system cannot; `path` is untouched.
bool KeepAside(const std::string& path, std::string* kept, std::string* error);

// While it lives, no other process publishes into any of `directories` through one of its own:
// the outputs of two runs are never mixed.
class PublishLock {
 public:
  explicit PublishLock(const std::vector<std::string>& directories);
  ~PublishLock();
  PublishLock(const PublishLock&) = delete;
  PublishLock& operator=(const PublishLock&) = delete;

 private:
  std::vector<intptr_t> handles_;
};

// The directory part of a path ("." when there is none).
std::string DirectoryOf(const std::string& path);

// Whether users other than the owner may read the file (POSIX permissions; never on Windows,
// whose access lists this does not judge).
bool OthersMayRead(const std::string& path);

// Removes a file; safe to call from an interrupt handler.
void RemoveFile(const char* path);

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_FILE_SYSTEM_H_
