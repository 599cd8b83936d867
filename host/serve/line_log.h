// A file of JSON lines that a running server appends to: the audit of its decisions, the shadow
// draft's changes. An existing file is appended to, never truncated. Once a write or a sync fails
// the log is failed for good: its owner answers no more decisions it cannot record.
#ifndef TXSCREEN_HOST_SERVE_LINE_LOG_H_
#define TXSCREEN_HOST_SERVE_LINE_LOG_H_

#include <atomic>
#include <memory>
#include <string>

#include "thread_annotations.h"

namespace txhost {

class LineLog {
 public:
  // Opens `path` for appending, creating it; a regular file or a device (not a directory, pipe
  // or socket). Null and "path: reason" otherwise.
  static std::unique_ptr<LineLog> Open(const std::string& path, std::string* error);
  ~LineLog();
  LineLog(const LineLog&) = delete;
  LineLog& operator=(const LineLog&) = delete;

  // Appends `lines`, each ending in a newline, with one write so that lines of other threads
  // never interleave with them. False when they did not all reach the file.
  bool Append(const std::string& lines);
  // Puts what was appended on the disk. False when the system cannot.
  bool Sync();

  bool failed() const { return failed_.load(); }
  // "path: reason" of the first failure.
  std::string failure() const;
  const std::string& path() const { return path_; }

 private:
  LineLog(std::string path, int fd, bool regular) : path_(std::move(path)), fd_(fd), regular_(regular) {}
  bool Fail(int error);

  const std::string path_;
  const int fd_;
  const bool regular_;  // only a regular file is synced; a device has nothing to sync
  std::atomic<bool> failed_{false};
  mutable txscreen::Mutex mutex_;
  std::string failure_ GUARDED_BY(mutex_);
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_LINE_LOG_H_
