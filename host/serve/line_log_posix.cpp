#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_system.h"
#include "line_log.h"

namespace txhost {

namespace {

constexpr char kNotAFile[] = "is a pipe or socket; a log must be a file";

bool IsPipeOrSocket(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode); }

}  // namespace

std::unique_ptr<LineLog> LineLog::Open(const std::string& path, std::string* error) {
  struct stat facts;
  if (stat(path.c_str(), &facts) == 0 && IsPipeOrSocket(facts.st_mode)) {
    *error = path + ": " + kNotAFile;
    return nullptr;
  }
  // Not blocking, so that a pipe put there since is refused rather than waited on.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0640);
  if (fd < 0) {
    *error = path + ": " + ErrnoText(errno);
    return nullptr;
  }
  const char* refused = nullptr;
  if (fstat(fd, &facts) != 0) {
    refused = std::strerror(errno);
  } else if (IsPipeOrSocket(facts.st_mode)) {
    refused = kNotAFile;
  }
  if (refused == nullptr && fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) refused = std::strerror(errno);
  if (refused != nullptr) {
    close(fd);
    *error = path + ": " + refused;
    return nullptr;
  }
  return std::unique_ptr<LineLog>(new LineLog(path, fd, S_ISREG(facts.st_mode)));
}

LineLog::~LineLog() { close(fd_); }

bool LineLog::Fail(int error) {
  txscreen::MutexLock lock(&mutex_);
  if (!failed_.exchange(true)) failure_ = path_ + ": " + ErrnoText(error);
  return false;
}

std::string LineLog::failure() const {
  txscreen::MutexLock lock(&mutex_);
  return failure_;
}

bool LineLog::Append(const std::string& lines) {
  if (failed()) return false;
  size_t written = 0;
  while (written < lines.size()) {
    ssize_t n = write(fd_, lines.data() + written, lines.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : ENOSPC);
    written += static_cast<size_t>(n);
  }
  return true;
}

bool LineLog::Sync() {
  if (failed()) return false;
  if (regular_ && fdatasync(fd_) != 0) return Fail(errno);
  return true;
}

}  // namespace txhost
