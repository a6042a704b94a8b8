// AsyncSemaphore: a FIFO counting semaphore for tasks; waiting suspends the task, not its thread.
// Thread-safe. A waiter destroyed while queued (e.g. by cancellable) leaves the queue.
#pragma once

#include <cstddef>

#include "base/mutex.hpp"
#include "runtime/task.hpp"
#include "runtime/task_core.hpp"

namespace veltrano::runtime {

class AsyncSemaphore {
 public:
  explicit AsyncSemaphore(std::size_t permits) noexcept : permits_(permits) {}
  AsyncSemaphore(const AsyncSemaphore&) = delete;
  AsyncSemaphore& operator=(const AsyncSemaphore&) = delete;
  // REQUIRES: no task waits and no permit is held.
  ~AsyncSemaphore() = default;

  // Move-only; returns its permit on destruction.
  class Permit {
   public:
    Permit() noexcept = default;
    Permit(Permit&& other) noexcept : semaphore_(std::exchange(other.semaphore_, nullptr)) {}
    Permit& operator=(Permit&& other) noexcept;
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit() { reset(); }

    bool valid() const noexcept { return semaphore_ != nullptr; }
    void reset() noexcept;

   private:
    friend class AsyncSemaphore;
    explicit Permit(AsyncSemaphore* semaphore) noexcept : semaphore_(semaphore) {}

    AsyncSemaphore* semaphore_ = nullptr;
  };

  // Waits in FIFO order for a permit. Takes no task identifier.
  // REQUIRES: awaited inside a runtime task (throws Fault otherwise).
  Task<Permit> acquire();

  // Permits not held by anyone (for tests).
  std::size_t available() const;

 private:
  struct Waiter {
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
    Waker waker;
    bool queued = false;
    bool granted = false;
  };
  class AcquireAwaiter;

  void release() noexcept;
  // Gives one permit to the first waiter (whose waker lands in `to_wake`) or back to the count.
  void hand_on_locked(Waker& to_wake) VELTRANO_REQUIRES(mutex_);
  void unlink_locked(Waiter* waiter) noexcept VELTRANO_REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::size_t permits_ VELTRANO_GUARDED_BY(mutex_);
  Waiter* head_ VELTRANO_GUARDED_BY(mutex_) = nullptr;
  Waiter* tail_ VELTRANO_GUARDED_BY(mutex_) = nullptr;
};

}  // namespace veltrano::runtime
