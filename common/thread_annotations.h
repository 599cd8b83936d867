// Clang's thread-safety attributes, and a mutex that carries them, so that clang can check which
// lock guards what (-Wthread-safety, on in every clang build); other compilers see plain code.
#ifndef TXSCREEN_COMMON_THREAD_ANNOTATIONS_H_
#define TXSCREEN_COMMON_THREAD_ANNOTATIONS_H_

#include <mutex>

#if defined(__clang__)
#define TXSCREEN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TXSCREEN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TXSCREEN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TXSCREEN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TXSCREEN_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) TXSCREEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TXSCREEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TXSCREEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TXSCREEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace txscreen {

// std::mutex, as a capability clang can follow. It is BasicLockable, so a
// std::condition_variable_any waits on it.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() RELEASE() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* mutex_;
};

}  // namespace txscreen

#endif  // TXSCREEN_COMMON_THREAD_ANNOTATIONS_H_
