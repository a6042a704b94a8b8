// CompletionBase and CompletionState<T>: the shared end of one task or job, written once by the
// producer and read through its handle. Thread-safe: producer and waiters meet under mutex_.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "base/fault.hpp"
#include "base/mutex.hpp"
#include "runtime/abnormal_end.hpp"
#include "runtime/outcome.hpp"
#include "runtime/waker.hpp"

namespace veltrano::runtime {

class TaskCore;

// The shared end of one task or job: written once by the producer, read by the handle.
class CompletionBase {
 public:
  CompletionBase(std::uint64_t id, bool is_job) noexcept : id_(id), is_job_(is_job) {}
  CompletionBase(const CompletionBase&) = delete;
  CompletionBase& operator=(const CompletionBase&) = delete;
  virtual ~CompletionBase() = default;

  std::uint64_t id() const noexcept { return id_; }
  bool finished() const;

  // Registers the waiting task; returns false (and drops the waker) when already finished.
  bool register_waker(Waker waker);
  void clear_waker();
  // Blocks the calling thread until finished.
  void wait_finished();

  // Marks the end: the stored outcome, or Cancelled when none was stored. Later calls are no-ops.
  // Wakes the waiting task and threads.
  void publish();

  // Tasks: asks the scheduler to drop the task. Jobs: drops the job only if it has not started.
  void cancel();
  void attach_core(std::weak_ptr<TaskCore> core);
  // Jobs: claims the start; false if the job was cancelled first.
  bool try_start_job() noexcept;

 protected:
  virtual bool has_outcome_locked() const VELTRANO_REQUIRES(mutex_) = 0;
  virtual void store_cancelled_locked() VELTRANO_REQUIRES(mutex_) = 0;

  mutable Mutex mutex_;

 private:
  enum JobPhase : int { kQueued, kStarted, kCancelled };

  const std::uint64_t id_;
  const bool is_job_;
  std::condition_variable cv_;
  bool finished_ VELTRANO_GUARDED_BY(mutex_) = false;
  std::size_t blocking_waiters_ VELTRANO_GUARDED_BY(mutex_) = 0;
  Waker waker_ VELTRANO_GUARDED_BY(mutex_);
  std::weak_ptr<TaskCore> core_ VELTRANO_GUARDED_BY(mutex_);
  std::atomic<int> job_phase_{kQueued};
};

namespace detail {

template <typename T>
class CompletionState final : public CompletionBase {
 public:
  using CompletionBase::CompletionBase;

  // Keeps the first outcome stored; a refused one dies with the parameter, outside the lock.
  void store(Outcome<T> outcome) {
    MutexLock lock(mutex_);
    if (!outcome_ && !taken_) {
      outcome_.emplace(std::move(outcome));
    }
  }
  void finish(Outcome<T> outcome) {
    store(std::move(outcome));
    publish();
  }
  // REQUIRES: finished(). The outcome can be taken once.
  Outcome<T> take() {
    MutexLock lock(mutex_);
    if (!outcome_) {
      throw Fault("completion outcome taken twice");
    }
    Outcome<T> result = std::move(*outcome_);
    outcome_.reset();
    taken_ = true;
    return result;
  }

 private:
  bool has_outcome_locked() const override VELTRANO_REQUIRES(mutex_) {
    return outcome_.has_value() || taken_;
  }
  void store_cancelled_locked() override VELTRANO_REQUIRES(mutex_) {
    outcome_.emplace(AbnormalEnd{AbnormalEnd::Kind::Cancelled, id(), std::nullopt});
  }

  std::optional<Outcome<T>> outcome_ VELTRANO_GUARDED_BY(mutex_);
  bool taken_ VELTRANO_GUARDED_BY(mutex_) = false;
};

}  // namespace detail

}  // namespace veltrano::runtime
