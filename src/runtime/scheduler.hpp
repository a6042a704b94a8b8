// The task threads' scheduler, its timers, and TaskCore, the per-task record that it drives.
// Thread-safe: wakes, cancels and timers may come from any thread; a task runs on one at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/task.hpp"

namespace veltrano::runtime {

class CompletionBase;
class Scheduler;
class TaskCore;

// One registered interest in waking a task that is suspended at one await. A wake that arrives
// after the task has moved on (run again since) is ignored, so a stale wake never resumes a frame
// that waits for something else.
class Waker {
 public:
  Waker() noexcept = default;
  Waker(std::shared_ptr<TaskCore> core, std::uint64_t generation) noexcept
      : core_(std::move(core)), generation_(generation) {}

  explicit operator bool() const noexcept { return static_cast<bool>(core_); }
  // Consumes the waker. Call it without holding any lock of the waking side.
  void wake() &&;

 private:
  std::shared_ptr<TaskCore> core_;
  std::uint64_t generation_ = 0;
};

// A value bound by a task-local scope; lives in the scope's frame, linked innermost first.
struct LocalBinding {
  const void* key = nullptr;
  const void* value = nullptr;
  LocalBinding* outer = nullptr;
};

// A cancellable region of a task: while it is registered, a sent signal makes the scheduler resume
// `frame` (with `fired` set) instead of the suspended await inside the region.
struct CancelScopeRecord {
  const std::atomic<bool>* signalled = nullptr;
  std::coroutine_handle<> frame;
  std::uint64_t id = 0;
  bool fired = false;  // written by the thread that runs the task
};

// Per-task state. Lifecycle: Scheduled (queued) -> Running -> Idle (suspended) -> Scheduled ... ->
// Finished. Only the thread that moved the task to Running touches the frame and the owner-only
// fields; the transitions happen under mutex_, so a task is never resumed twice or on two threads.
// Each run bumps generation_, and a Waker carries the generation of the run that made it: a wake
// from an await that the task has left since (dropped by a cancel) is stale and ignored. A cancel
// signal wakes through wake_scope(), which counts only while its region is registered, and a wake
// that arrives while the task runs is kept and acted on when it suspends: no wake is lost.
class TaskCore : public std::enable_shared_from_this<TaskCore> {
 public:
  TaskCore(std::uint64_t id, Task<void> root, std::shared_ptr<CompletionBase> completion,
           std::shared_ptr<Scheduler> scheduler);
  TaskCore(const TaskCore&) = delete;
  TaskCore& operator=(const TaskCore&) = delete;
  // A task that was never finished (it was orphaned: nothing can wake it) loses its frame here.
  ~TaskCore();

  // The task that the calling thread is running, or nullptr.
  static TaskCore* current() noexcept;

  std::uint64_t id() const noexcept { return id_; }
  Scheduler& scheduler() const noexcept { return *scheduler_; }

  // Owner-only: called by awaiters while the task runs on this thread.
  void set_resume_point(std::coroutine_handle<> point) noexcept { resume_point_ = point; }
  Waker make_waker() { return Waker(shared_from_this(), run_generation_); }
  LocalBinding*& local_bindings() noexcept { return locals_; }
  const LocalBinding* local_bindings() const noexcept { return locals_; }
  void push_scope(CancelScopeRecord* scope);
  void remove_scope(CancelScopeRecord* scope);

  // Any thread, no lock of the caller held.
  void wake(std::uint64_t generation);
  void wake_scope(std::uint64_t scope_id);
  void request_cancel();

  // Scheduler-only: run one step, or drop the task unrun (shutdown).
  // REQUIRES: the task is in state Scheduled and was taken off the queue by the caller.
  void run();
  void run_cancelled();

 private:
  enum class State { Idle, Scheduled, Running, Finished };

  bool must_reschedule_locked() const;
  void destroy_and_finish();

  const std::uint64_t id_;
  const std::shared_ptr<Scheduler> scheduler_;

  std::mutex mutex_;
  State state_ = State::Scheduled;          // GUARDED_BY(mutex_)
  std::uint64_t generation_ = 0;            // GUARDED_BY(mutex_)
  bool leaf_ready_ = false;                 // GUARDED_BY(mutex_)
  bool notified_while_running_ = false;     // GUARDED_BY(mutex_)
  bool cancel_requested_ = false;           // GUARDED_BY(mutex_)
  std::uint64_t next_scope_id_ = 1;         // GUARDED_BY(mutex_)
  std::vector<CancelScopeRecord*> scopes_;  // GUARDED_BY(mutex_), outermost first

  // Owner-only (see the class comment).
  Task<void> root_;
  std::shared_ptr<CompletionBase> completion_;
  std::coroutine_handle<> resume_point_;
  std::uint64_t run_generation_ = 0;
  bool started_ = false;
  LocalBinding* locals_ = nullptr;
};

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
  std::vector<Waker> take_due_timers_locked(Clock::time_point now);

  std::mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable exit_cv_;
  std::deque<std::shared_ptr<TaskCore>> queue_;  // GUARDED_BY(mutex_)
  std::map<TimerKey, Waker> timers_;             // GUARDED_BY(mutex_)
  std::uint64_t next_timer_seq_ = 0;             // GUARDED_BY(mutex_)
  std::size_t idle_threads_ = 0;                 // GUARDED_BY(mutex_)
  std::size_t threads_in_loop_ = 0;              // GUARDED_BY(mutex_)
  bool shutdown_ = false;                        // GUARDED_BY(mutex_)
};

}  // namespace veltrano::runtime
