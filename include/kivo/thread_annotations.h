// Clang thread-safety annotations and the annotated lock types the library uses. Under clang the
// macros become attributes that -Wthread-safety checks at compile time; elsewhere they vanish.
// The lock types cost nothing over the standard ones they wrap.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define KIVO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIVO_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (x names its kind in messages, e.g. "mutex").
#define KIVO_CAPABILITY(x) KIVO_THREAD_ANNOTATION(capability(x))
// A guard type that holds a lock for its lifetime.
#define KIVO_SCOPED_CAPABILITY KIVO_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with x held (reads may share it).
#define KIVO_GUARDED_BY(x) KIVO_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose pointee is read or written only with x held.
#define KIVO_PT_GUARDED_BY(x) KIVO_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller holds the locks (exclusively, or at least shared).
#define KIVO_REQUIRES(...) KIVO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KIVO_REQUIRES_SHARED(...) KIVO_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes the locks and returns holding them.
#define KIVO_ACQUIRE(...) KIVO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KIVO_ACQUIRE_SHARED(...) KIVO_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
// The function releases locks the caller held (exclusive, shared, or either).
#define KIVO_RELEASE(...) KIVO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KIVO_RELEASE_SHARED(...) KIVO_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define KIVO_RELEASE_GENERIC(...) KIVO_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
// The function takes the lock when it returns the given value (e.g. true).
#define KIVO_TRY_ACQUIRE(...) KIVO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them itself).
#define KIVO_EXCLUDES(...) KIVO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Turns the analysis off for one function; say beside it why the analysis cannot follow.
#define KIVO_NO_THREAD_SAFETY_ANALYSIS KIVO_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kivo {

// std::mutex as a capability the analysis tracks.
class KIVO_CAPABILITY("mutex") Mutex {
 public:
  void lock() KIVO_ACQUIRE() { mutex_.lock(); }
  void unlock() KIVO_RELEASE() { mutex_.unlock(); }
  bool try_lock() KIVO_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// std::shared_mutex as a capability: one writer, or many readers.
class KIVO_CAPABILITY("shared mutex") SharedMutex {
 public:
  void lock() KIVO_ACQUIRE() { mutex_.lock(); }
  void unlock() KIVO_RELEASE() { mutex_.unlock(); }
  void lock_shared() KIVO_ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() KIVO_RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a Mutex for its scope. unlock()/lock() let std::condition_variable_any wait on it; the
// destructor unlocks only if the guard holds the mutex.
class KIVO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) KIVO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() KIVO_RELEASE() {
    if (locked_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() KIVO_ACQUIRE() {
    mutex_.lock();
    locked_ = true;
  }
  void unlock() KIVO_RELEASE() {
    mutex_.unlock();
    locked_ = false;
  }

 private:
  Mutex& mutex_;
  bool locked_ = true;
};

// Holds a SharedMutex exclusively for its scope.
class KIVO_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) KIVO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() KIVO_RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a SharedMutex shared for its scope.
class KIVO_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) KIVO_ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
  ~ReaderLock() KIVO_RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace kivo
