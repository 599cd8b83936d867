// The file system on POSIX systems: stat, mkstemp, rename, hard links and flock.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_system.h"

namespace txhost {
namespace {

constexpr char kMark[] = ".txhost-";
constexpr int kMaxLinks = 40;  // as the kernel's own limit on a path's links

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string Identity(const struct stat& info) {
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

bool InSystemDirectory(const std::string& path) {
  for (const char* root : {"/dev/", "/proc/"}) {
    if (path.compare(0, std::strlen(root), root) == 0) return true;
  }
  char real[PATH_MAX];
  if (realpath(DirectoryOf(path).c_str(), real) == nullptr) return false;
  std::string directory = std::string(real) + "/";
  return directory.compare(0, 5, "/dev/") == 0 || directory.compare(0, 6, "/proc/") == 0;
}

// Follows the links of `path` to what they name, which need not exist. Sets `system` when any
// step lies in the system's own directories.
bool FollowLinks(const std::string& path, std::string* target, bool* system, std::string* error) {
  std::string at = path;
  *system = InSystemDirectory(at);
  for (int step = 0; step < kMaxLinks; ++step) {
    struct stat info;
    if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = at;
      return true;
    }
    char link[PATH_MAX];
    ssize_t length = readlink(at.c_str(), link, sizeof link - 1);
    if (length < 0) break;
    std::string next(link, static_cast<size_t>(length));
    at = next[0] == '/' ? next : DirectoryOf(at) + "/" + next;
    *system = *system || InSystemDirectory(at);
  }
  *error = path + ": " + ErrnoText(ELOOP);
  return false;
}

// The process id that a file made by CreateFileBeside or KeepAside carries, or 0.
pid_t OwnerOf(const std::string& file, const std::string& prefix) {
  if (file.compare(0, prefix.size(), prefix) != 0) return 0;
  return static_cast<pid_t>(std::strtol(file.c_str() + prefix.size(), nullptr, 10));
}

}  // namespace

const char kPathSeparators[] = "/";

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ErrnoText(int error) { return std::strerror(error); }

std::string LastSystemErrorText() { return ErrnoText(errno); }

bool InspectPath(const std::string& path, PathFacts* facts, std::string* error) {
  bool system = false;
  if (!FollowLinks(path, &facts->target, &system, error)) return false;
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    facts->exists = true;
    facts->is_directory = S_ISDIR(info.st_mode);
    facts->is_special = !facts->is_directory && (system || !S_ISREG(info.st_mode));
    facts->identity = Identity(info);
    return true;
  }
  if (errno != ENOENT) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  // Not there yet (or a link to nothing): known by its directory and the name it will have.
  const std::string& target = facts->target;
  std::string directory = DirectoryOf(target);
  if (stat(directory.c_str(), &info) != 0) {
    *error = path + ": the directory " + directory + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = path + ": " + directory + ": " + ErrnoText(ENOTDIR);
    return false;
  }
  if (system) {
    *error = path + ": no such file among the system's own (" + target + ")";
    return false;
  }
  facts->exists = false;
  facts->is_directory = false;
  facts->is_special = false;
  facts->identity = Identity(info) + "/" + NameOf(target);
  return true;
}

std::FILE* CreateFileBeside(const std::string& path, std::string* created, std::string* error) {
  std::string directory = DirectoryOf(path);
  std::string pattern = directory + "/." + NameOf(path) + kMark + std::to_string(getpid()) +
                        "-XXXXXX";
  int fd = mkstemp(&pattern[0]);
  if (fd < 0) {
    *error = path + ": cannot create a file in " + directory + ": " + ErrnoText(errno);
    return nullptr;
  }
  // mkstemp gives 0600; the result should carry what the file it replaces had, or the usual
  // permissions of a new file.
  struct stat existing;
  mode_t mode;
  if (stat(path.c_str(), &existing) == 0) {
    mode = existing.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    *error = path + ": " + ErrnoText(errno);
    close(fd);
    unlink(pattern.c_str());
    return nullptr;
  }
  *created = pattern;
  return file;
}

std::vector<std::string> LeftoverFiles(const std::string& path) {
  std::vector<std::string> leftovers;
  std::string directory = DirectoryOf(path);
  std::string prefix = "." + NameOf(path) + kMark;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return leftovers;
  while (struct dirent* entry = readdir(listing)) {
    pid_t owner = OwnerOf(entry->d_name, prefix);
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) {
      leftovers.push_back(directory + "/" + entry->d_name);
    }
  }
  closedir(listing);
  std::sort(leftovers.begin(), leftovers.end());
  return leftovers;
}

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *error = to + ": " + ErrnoText(errno);
  return false;
}

bool KeepAside(const std::string& path, std::string* kept, std::string* error) {
  std::string base =
      DirectoryOf(path) + "/." + NameOf(path) + kMark + std::to_string(getpid()) + "-old-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = base + std::to_string(attempt);
    if (link(path.c_str(), candidate.c_str()) == 0) {
      *kept = candidate;
      return true;
    }
    if (errno != EEXIST) break;
  }
  *error = path + ": cannot keep the old version: " + ErrnoText(errno);
  return false;
}

bool OthersMayRead(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

void RemoveFile(const char* path) { unlink(path); }

PublishLock::PublishLock(const std::vector<std::string>& directories) {
  // Always in the same order, so that two runs never wait for each other's second lock.
  std::vector<std::pair<std::string, int>> opened;
  for (const std::string& directory : directories) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd < 0) continue;  // then there is nothing to publish into there either
    if (fstat(fd, &info) != 0) {
      close(fd);
      continue;
    }
    opened.emplace_back(Identity(info), fd);
  }
  std::sort(opened.begin(), opened.end());
  for (size_t i = 0; i < opened.size(); ++i) {
    if (i > 0 && opened[i].first == opened[i - 1].first) {
      close(opened[i].second);
      continue;
    }
    while (flock(opened[i].second, LOCK_EX) != 0 && errno == EINTR) {
    }
    handles_.push_back(opened[i].second);
  }
}

PublishLock::~PublishLock() {
  for (intptr_t fd : handles_) close(static_cast<int>(fd));  // closing releases the lock
}

}  // namespace txhost
