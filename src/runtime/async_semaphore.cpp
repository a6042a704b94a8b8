#include "runtime/async_semaphore.hpp"

#include <utility>

#include "base/fault.hpp"

namespace veltrano::runtime {

class AsyncSemaphore::AcquireAwaiter {
 public:
  explicit AcquireAwaiter(AsyncSemaphore& semaphore) noexcept : semaphore_(semaphore) {}
  AcquireAwaiter(const AcquireAwaiter&) = delete;
  AcquireAwaiter& operator=(const AcquireAwaiter&) = delete;
  // Destroyed while queued: leaves the queue. Destroyed after a grant it never used: passes the
  // permit on, so a cancelled waiter cannot swallow it.
  ~AcquireAwaiter() {
    Waker dropped;
    Waker to_wake;
    {
      MutexLock lock(semaphore_.mutex_);
      if (node_.queued) {
        semaphore_.unlink_locked(&node_);
        dropped = std::move(node_.waker);
      } else if (node_.granted && !consumed_) {
        semaphore_.hand_on_locked(to_wake);
      }
    }
    if (to_wake) {
      std::move(to_wake).wake();
    }
  }

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> awaiting) {
    TaskCore* core = TaskCore::current();
    if (core == nullptr) {
      throw Fault("AsyncSemaphore::acquire() can only be awaited inside a runtime task");
    }
    MutexLock lock(semaphore_.mutex_);
    if (semaphore_.head_ == nullptr && semaphore_.permits_ > 0) {
      --semaphore_.permits_;
      node_.granted = true;
      return false;
    }
    core->set_resume_point(awaiting);
    node_.waker = core->make_waker();
    node_.queued = true;
    node_.prev = semaphore_.tail_;
    if (semaphore_.tail_ != nullptr) {
      semaphore_.tail_->next = &node_;
    } else {
      semaphore_.head_ = &node_;
    }
    semaphore_.tail_ = &node_;
    return true;
  }
  void await_resume() noexcept { consumed_ = true; }

 private:
  AsyncSemaphore& semaphore_;
  Waiter node_;
  bool consumed_ = false;  // owner-only
};

AsyncSemaphore::Permit& AsyncSemaphore::Permit::operator=(Permit&& other) noexcept {
  if (this != &other) {
    reset();
    semaphore_ = std::exchange(other.semaphore_, nullptr);
  }
  return *this;
}

void AsyncSemaphore::Permit::reset() noexcept {
  if (AsyncSemaphore* semaphore = std::exchange(semaphore_, nullptr)) {
    semaphore->release();
  }
}

Task<AsyncSemaphore::Permit> AsyncSemaphore::acquire() {
  co_await AcquireAwaiter(*this);
  co_return Permit(this);
}

std::size_t AsyncSemaphore::available() const {
  MutexLock lock(mutex_);
  return permits_;
}

void AsyncSemaphore::unlink_locked(Waiter* waiter) noexcept {
  (waiter->prev != nullptr ? waiter->prev->next : head_) = waiter->next;
  (waiter->next != nullptr ? waiter->next->prev : tail_) = waiter->prev;
  waiter->prev = waiter->next = nullptr;
  waiter->queued = false;
}

void AsyncSemaphore::hand_on_locked(Waker& to_wake) {
  if (head_ == nullptr) {
    ++permits_;
    return;
  }
  Waiter* first = head_;
  unlink_locked(first);
  first->granted = true;
  to_wake = std::move(first->waker);
}

void AsyncSemaphore::release() noexcept {
  Waker to_wake;
  {
    MutexLock lock(mutex_);
    hand_on_locked(to_wake);
  }
  if (to_wake) {
    std::move(to_wake).wake();
  }
}

}  // namespace veltrano::runtime
