#include "runtime/completion_state.hpp"

#include "runtime/task_core.hpp"

namespace veltrano::runtime {

bool CompletionBase::finished() const {
  MutexLock lock(mutex_);
  return finished_;
}

bool CompletionBase::register_waker(Waker waker) {
  MutexLock lock(mutex_);
  if (finished_) {
    return false;  // `waker` is dropped after the lock is released
  }
  waker_ = std::move(waker);
  return true;
}

void CompletionBase::clear_waker() {
  Waker dropped;
  MutexLock lock(mutex_);
  dropped = std::move(waker_);
}

void CompletionBase::wait_finished() {
  MutexLock lock(mutex_);
  ++blocking_waiters_;
  while (!finished_) {
    lock.wait(cv_);
  }
  --blocking_waiters_;
}

void CompletionBase::publish() {
  Waker waker;
  bool notify = false;
  {
    MutexLock lock(mutex_);
    if (finished_) {
      return;
    }
    if (!has_outcome_locked()) {
      store_cancelled_locked();
    }
    finished_ = true;
    waker = std::move(waker_);
    notify = blocking_waiters_ > 0;
    core_.reset();
  }
  if (notify) {
    cv_.notify_all();
  }
  if (waker) {
    std::move(waker).wake();
  }
}

void CompletionBase::cancel() {
  if (is_job_) {
    int expected = kQueued;
    if (job_phase_.compare_exchange_strong(expected, kCancelled, std::memory_order_acq_rel)) {
      publish();
    }
    return;
  }
  std::shared_ptr<TaskCore> core;
  {
    MutexLock lock(mutex_);
    core = core_.lock();
  }
  if (core) {
    core->request_cancel();
  }
}

void CompletionBase::attach_core(std::weak_ptr<TaskCore> core) {
  MutexLock lock(mutex_);
  if (!finished_) {
    core_ = std::move(core);
  }
}

bool CompletionBase::try_start_job() noexcept {
  int expected = kQueued;
  return job_phase_.compare_exchange_strong(expected, kStarted, std::memory_order_acq_rel);
}

}  // namespace veltrano::runtime
