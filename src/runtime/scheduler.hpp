// The task threads' scheduler: the run queue and the timers.
// Thread-safe: tasks may be scheduled and timers set from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "base/mutex.hpp"
#include "runtime/waker.hpp"

namespace veltrano::runtime {

class TaskCore;

// The run queue and timers shared by the task threads. Each task thread is a long-lived job of
// the blocking pool that calls run_task_thread().
class Scheduler {
 public:
  using Clock = std::chrono::steady_clock;
  using TimerKey = std::pair<Clock::time_point, std::uint64_t>;

  Scheduler() = default;
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Queues a task to run. After shutdown the task is dropped at once on the calling thread.
  void schedule(std::shared_ptr<TaskCore> core);

  // Wakes `waker` at `deadline`; returns a key for cancel_timer. After shutdown wakes at once.
  TimerKey add_timer(Clock::time_point deadline, Waker waker);
  // Drops a timer that has not fired; no-op otherwise.
  void cancel_timer(const TimerKey& key);

  // The loop of one task thread; returns after shutdown().
  void run_task_thread();
  // True while the calling thread is inside run_task_thread() of some scheduler.
  static bool on_task_thread() noexcept;

  // Drops queued tasks and timers, stops the task threads and waits until they have left the loop.
  // REQUIRES: not called from a task thread of this scheduler.
  void shutdown();

 private:
  std::vector<Waker> take_due_timers_locked(Clock::time_point now) VELTRANO_REQUIRES(mutex_);

  Mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable exit_cv_;
  std::deque<std::shared_ptr<TaskCore>> queue_ VELTRANO_GUARDED_BY(mutex_);
  std::map<TimerKey, Waker> timers_ VELTRANO_GUARDED_BY(mutex_);
  std::uint64_t next_timer_seq_ VELTRANO_GUARDED_BY(mutex_) = 0;
  std::size_t idle_threads_ VELTRANO_GUARDED_BY(mutex_) = 0;
  std::size_t threads_in_loop_ VELTRANO_GUARDED_BY(mutex_) = 0;
  bool shutdown_ VELTRANO_GUARDED_BY(mutex_) = false;
};

}  // namespace veltrano::runtime
