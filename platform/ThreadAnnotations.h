// Lock annotations that clang's -Wthread-safety checks and other compilers
// ignore. Members say which mutex guards them (GUARDED_BY), functions say
// which locks they need (REQUIRES) or must not hold (EXCLUDES).
#pragma once

#include <mutex>

#if defined(__clang__)
#define POSHARK_TSA(x) __attribute__((x))
#else
#define POSHARK_TSA(x)
#endif

#define CAPABILITY(x) POSHARK_TSA(capability(x))
#define SCOPED_CAPABILITY POSHARK_TSA(scoped_lockable)
#define GUARDED_BY(x) POSHARK_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) POSHARK_TSA(pt_guarded_by(x))
#define REQUIRES(...) POSHARK_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) POSHARK_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) POSHARK_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) POSHARK_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) POSHARK_TSA(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS POSHARK_TSA(no_thread_safety_analysis)

namespace poshark::platform {

// std::mutex with the capability attribute, so that the analysis can follow
// it (libstdc++'s own mutex carries none).
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// Scoped holder of a Mutex, visible to the analysis.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

}  // namespace poshark::platform
