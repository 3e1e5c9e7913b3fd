// Which lock guards what, in a form Clang checks (-Wthread-safety) and other
// compilers ignore; scripts/thread-safety-check runs the check.
// std::mutex carries no annotations under libstdc++, so guarded state sits
// behind Mutex and its scoped locks.
#pragma once

#include <mutex>

#if defined(__clang__)
#define AUDIOTAP_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define AUDIOTAP_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) AUDIOTAP_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY AUDIOTAP_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) AUDIOTAP_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) AUDIOTAP_THREAD_ANNOTATION(pt_guarded_by(lock))
#define REQUIRES(...) AUDIOTAP_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) AUDIOTAP_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) AUDIOTAP_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) AUDIOTAP_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) AUDIOTAP_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

namespace audiotap {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace audiotap
