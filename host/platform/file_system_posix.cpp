// The file system on POSIX systems: stat, mkstemp and rename.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_system.h"

namespace txhost {
namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Identity(const struct stat& info) {
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

}  // namespace

std::string ErrnoText(int error) { return std::strerror(error); }

std::string LastSystemErrorText() { return ErrnoText(errno); }

bool InspectPath(const std::string& path, PathFacts* facts, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    facts->exists = true;
    facts->is_directory = S_ISDIR(info.st_mode);
    facts->is_special = !S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode);
    facts->identity = Identity(info);
    return true;
  }
  if (errno != ENOENT) {
    *error = path + ": " + ErrnoText(errno);
    return false;
  }
  std::string directory = DirectoryOf(path);
  if (stat(directory.c_str(), &info) != 0) {
    *error = path + ": the directory " + directory + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = path + ": " + directory + ": " + ErrnoText(ENOTDIR);
    return false;
  }
  facts->exists = false;
  facts->is_directory = false;
  facts->is_special = false;
  facts->identity = Identity(info) + "/" + path.substr(path.rfind('/') + 1);
  return true;
}

std::FILE* CreateFileBeside(const std::string& path, std::string* created, std::string* error) {
  std::string directory = DirectoryOf(path);
  std::string name = path.substr(path.rfind('/') + 1);
  std::string pattern = directory + "/." + name + ".txhost-XXXXXX";
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

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *error = to + ": " + ErrnoText(errno);
  return false;
}

void RemoveFile(const char* path) { unlink(path); }

}  // namespace txhost
