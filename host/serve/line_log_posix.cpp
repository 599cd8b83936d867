// The log on POSIX: one descriptor opened for appending, its lines cut back after a short write,
// and room looked for with fallocate before a failed log takes lines again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_system.h"
#include "line_log.h"

namespace txhost {

struct LineLog::File {
  int fd = -1;
  bool regular = false;  // only a regular file is synced, cut back and probed for room
  dev_t device = 0;
  ino_t inode = 0;
  ~File() {
    if (fd >= 0) close(fd);
  }
};

namespace {

constexpr char kNotAFile[] = "is a pipe or socket; a log must be a file";
// Room a failed log must find before it takes lines again: at least the write that failed.
constexpr size_t kLeastRoom = 4096;

bool IsPipeOrSocket(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode); }

// `path` opened for appending; null and the reason when it cannot be, or is no file.
std::unique_ptr<LineLog::File> OpenFile(const std::string& path, std::string* error) {
  struct stat facts;
  if (stat(path.c_str(), &facts) == 0 && IsPipeOrSocket(facts.st_mode)) {
    *error = path + ": " + kNotAFile;
    return nullptr;
  }
  auto file = std::make_unique<LineLog::File>();
  // Not blocking, so that a pipe put there since is refused rather than waited on.
  file->fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0640);
  if (file->fd < 0) {
    *error = path + ": " + ErrnoText(errno);
    return nullptr;
  }
  std::string refused;
  if (fstat(file->fd, &facts) != 0) {
    refused = ErrnoText(errno);
  } else if (IsPipeOrSocket(facts.st_mode)) {
    refused = kNotAFile;
  } else if (fcntl(file->fd, F_SETFL, O_WRONLY | O_APPEND) != 0) {
    refused = ErrnoText(errno);
  }
  if (!refused.empty()) {
    *error = path + ": " + refused;
    return nullptr;
  }
  file->regular = S_ISREG(facts.st_mode);
  file->device = facts.st_dev;
  file->inode = facts.st_ino;
  return file;
}

}  // namespace

std::unique_ptr<LineLog> LineLog::Open(const std::string& path, std::string* error) {
  std::unique_ptr<File> file = OpenFile(path, error);
  if (!file) return nullptr;
  std::unique_ptr<LineLog> log(new LineLog(path));
  txscreen::MutexLock lock(&log->mutex_);
  log->file_ = std::move(file);
  return log;
}

LineLog::LineLog(std::string path) : path_(std::move(path)) {}
LineLog::~LineLog() = default;

bool LineLog::Fail(const std::string& reason) {
  if (!failed_.exchange(true)) failure_ = path_ + ": " + reason;
  return false;
}

std::string LineLog::problem() const {
  txscreen::MutexLock lock(&mutex_);
  return failure_.empty() ? detached_ : failure_;
}

bool LineLog::Append(const std::string& lines, Mark* mark) {
  txscreen::MutexLock lock(&mutex_);
  if (failed()) return false;
  const int fd = file_->fd;
  const off_t start = file_->regular ? lseek(fd, 0, SEEK_END) : 0;
  size_t written = 0;
  while (written < lines.size()) {
    ssize_t n = write(fd, lines.data() + written, lines.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string reason = ErrnoText(n < 0 ? errno : ENOSPC);
      wanted_ = lines.size();
      // A line that is not whole would be read as a record it is not.
      if (written > 0 && file_->regular && ftruncate(fd, start) != 0) {
        reason += "; the part written could not be cut off again: " + ErrnoText(errno);
      }
      return Fail(reason);
    }
    written += static_cast<size_t>(n);
  }
  if (mark != nullptr) *mark = start;
  return true;
}

bool LineLog::CutBack(Mark mark) {
  txscreen::MutexLock lock(&mutex_);
  if (!file_->regular || ftruncate(file_->fd, mark) == 0) return true;
  return Fail("lines could not be cut off again: " + ErrnoText(errno));
}

bool LineLog::Sync() {
  std::shared_ptr<File> file;
  {
    txscreen::MutexLock lock(&mutex_);
    file = file_;
  }
  // A sync can take long on a busy disk: appends go on meanwhile.
  if (!file->regular || fdatasync(file->fd) == 0) return true;
  const int error = errno;
  sync_failed_ = true;
  txscreen::MutexLock lock(&mutex_);
  if (!failed()) return Fail(ErrnoText(error));
  return false;
}

bool LineLog::Reopen(std::string* error) {
  std::unique_ptr<File> fresh = OpenFile(path_, error);
  if (!fresh) return false;
  txscreen::MutexLock lock(&mutex_);
  if (file_->regular && fdatasync(file_->fd) != 0) sync_failed_ = true;
  file_ = std::move(fresh);
  failed_ = false;
  failure_.clear();
  detached_.clear();
  wanted_ = 0;
  return true;
}

bool LineLog::CanWriteAgain() {
  if (!file_->regular || fdatasync(file_->fd) != 0) return false;
  const off_t end = lseek(file_->fd, 0, SEEK_END);
  const off_t room = static_cast<off_t>(std::max(wanted_, kLeastRoom));
  // The room is kept for the lines to come; a file system without fallocate is tried as it is.
  return end >= 0 &&
         (fallocate(file_->fd, FALLOC_FL_KEEP_SIZE, end, room) == 0 || errno == EOPNOTSUPP);
}

std::string LineLog::Check() {
  txscreen::MutexLock lock(&mutex_);
  struct stat open_file, named;
  if (fstat(file_->fd, &open_file) == 0 && open_file.st_nlink == 0) {
    if (failed() && failure_.find("was deleted") != std::string::npos) return "";
    failed_ = false;  // the deletion is the reason now
    Fail("the file was deleted, and its lines would be lost; send SIGUSR1 to create it anew");
    return failure_;
  }
  std::string said;
  const bool same = stat(path_.c_str(), &named) == 0 && named.st_dev == file_->device &&
                    named.st_ino == file_->inode;
  if (!same && detached_.empty()) {
    detached_ = path_ + ": the path no longer names the file being written (moved away?); its " +
                "lines go on to the file moved; send SIGUSR1 to reopen the path";
    said = detached_;
  } else if (same && !detached_.empty()) {
    detached_.clear();
    said = path_ + ": the path names the file being written again";
  }
  if (failed() && CanWriteAgain()) {
    failed_ = false;
    failure_.clear();
    wanted_ = 0;
    said += std::string(said.empty() ? "" : "; ") + path_ + ": can be written again";
  }
  return said;
}

}  // namespace txhost
