// Mutex and MutexLock: std::mutex and std::unique_lock as capabilities that clang's
// -Wthread-safety follows. Mutex is thread-safe; a MutexLock belongs to the thread that made it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.hpp"

namespace veltrano {

// A plain std::mutex that members can name in VELTRANO_GUARDED_BY. Constant-initialised, so it
// may be a constinit static.
class VELTRANO_CAPABILITY("mutex") Mutex {
 public:
  constexpr Mutex() noexcept = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() VELTRANO_ACQUIRE() { mutex_.lock(); }
  void unlock() VELTRANO_RELEASE() { mutex_.unlock(); }
  [[nodiscard]] bool try_lock() VELTRANO_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;

  std::mutex mutex_;
};

// Holds a Mutex from construction (unless deferred) to destruction, through a
// std::unique_lock so that a std::condition_variable can wait on it. unlock() and lock() let the
// holder leave the lock for a while, as long as it holds it again at the end of each branch.
class VELTRANO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) VELTRANO_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  // Does not lock yet: lock() does.
  MutexLock(Mutex& mutex, std::defer_lock_t) VELTRANO_EXCLUDES(mutex)
      : lock_(mutex.mutex_, std::defer_lock) {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() VELTRANO_RELEASE() {}

  void lock() VELTRANO_ACQUIRE() { lock_.lock(); }
  void unlock() VELTRANO_RELEASE() { lock_.unlock(); }

  // Releases the lock while blocked on `cv` and holds it again on return, spurious wakes
  // included: callers loop on their condition, which the analysis then checks under the lock.
  // REQUIRES: the lock is held.
  void wait(std::condition_variable& cv) { cv.wait(lock_); }
  // As wait(), up to `deadline`; std::cv_status::timeout once it has passed.
  template <typename Clock, typename Duration>
  std::cv_status wait_until(std::condition_variable& cv,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    return cv.wait_until(lock_, deadline);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace veltrano
