// A file of JSON lines that a running server appends to: the audit of its decisions, the shadow
// draft's changes. An existing file is appended to, never truncated. A write goes in whole or not
// at all. A log that cannot be written refuses further lines until it can again. It is reopened
// at its path on request (logrotate's habit), and it says when its path no longer names the file
// it writes.
#ifndef TXSCREEN_HOST_SERVE_LINE_LOG_H_
#define TXSCREEN_HOST_SERVE_LINE_LOG_H_

#include <sys/types.h>

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

  // Where the next line goes, for Append's caller to cut back to (CutBack).
  using Mark = off_t;
  // Appends `lines`, each ending in a newline, whole: lines of other threads never interleave
  // with them, and when not all reach the file, what did is cut off again and the log fails.
  // False then. `mark`, when given, receives where they began.
  bool Append(const std::string& lines, Mark* mark = nullptr);
  // Cuts the file back to `mark`, which the last Append gave: lines that must not stand alone
  // once a later write failed. False when the system cannot, and the log fails.
  bool CutBack(Mark mark);
  // Puts what was appended on the disk. False when the system cannot; once a sync has failed,
  // lines written before it may not be on the disk, and synced_all() says so for good.
  bool Sync();
  bool synced_all() const { return !sync_failed_.load(); }

  // Opens the path anew, closing the file written so far once it is synced. False with the
  // reason; the old file is written on then.
  bool Reopen(std::string* error);
  // Once a second: whether the path still names the open file, and whether a failed log can
  // be written again. A line for the operator when either changed; empty when nothing did.
  std::string Check();

  // Whether lines can be appended: false while the file cannot be written or has been deleted.
  bool failed() const { return failed_.load(); }
  // Why the log cannot record, or why it is not ready (its path names another file or none):
  // "path: reason". Empty while it is sound.
  std::string problem() const;
  const std::string& path() const { return path_; }

  // The open file, as each platform keeps it.
  struct File;

 private:
  explicit LineLog(std::string path);
  bool Fail(const std::string& reason) REQUIRES(mutex_);
  // Whether a failed file has room and takes syncs again.
  bool CanWriteAgain() REQUIRES(mutex_);

  const std::string path_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> sync_failed_{false};
  mutable txscreen::Mutex mutex_;
  // Shared, so that a sync (taken outside the lock, not to hold up appends) keeps the file it
  // syncs open through a reopen.
  std::shared_ptr<File> file_ GUARDED_BY(mutex_);
  std::string failure_ GUARDED_BY(mutex_);   // why it cannot record
  std::string detached_ GUARDED_BY(mutex_);  // why its path no longer names the file
  size_t wanted_ GUARDED_BY(mutex_) = 0;     // the bytes of the write that failed
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_LINE_LOG_H_
