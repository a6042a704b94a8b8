// Runtime: the worker runtime (task threads on a blocking pool, timers), spawning, and the one
// process-wide instance. Thread-safe: spawn from any thread; a built runtime lives until exit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/completion_handle.hpp"
#include "runtime/scheduler.hpp"
#include "runtime/task.hpp"
#include "runtime/task_id.hpp"

namespace veltrano::runtime {

namespace detail {

// The outermost frame of a spawned task: runs it and stores how it ended. The scheduler publishes
// the outcome once this frame is destroyed, so the task's locals are gone before a waiter resumes.
template <typename T>
Task<void> root_body(Task<T> task, std::shared_ptr<CompletionState<T>> state) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      state->store(Outcome<void>());
    } else {
      state->store(Outcome<T>(co_await std::move(task)));
    }
  } catch (...) {
    state->store(AbnormalEnd::from_exception(state->id(), std::current_exception()));
  }
}

// A blocking job with its completion. Dropped unrun (pool shut down, refused thread) it reports
// Cancelled; the job's own captures die before its outcome is published.
template <typename F, typename R>
class JobRunner {
 public:
  JobRunner(std::shared_ptr<CompletionState<R>> state, F job)
      : state_(std::move(state)), job_(std::move(job)) {}
  JobRunner(JobRunner&&) noexcept = default;
  JobRunner& operator=(JobRunner&&) = delete;
  ~JobRunner() {
    if (state_) {
      state_->publish();
    }
  }

  void operator()() {
    std::shared_ptr<CompletionState<R>> state = std::move(state_);
    if (!state->try_start_job()) {
      return;  // cancelled through the handle; already published
    }
    state->finish(run(state->id()));
  }

 private:
  Outcome<R> run(std::uint64_t id) {
    try {
      F job = std::move(*job_);
      job_.reset();
      if constexpr (std::is_void_v<R>) {
        std::move(job)();
        return Outcome<void>();
      } else {
        return Outcome<R>(std::move(job)());
      }
    } catch (...) {
      return AbnormalEnd::from_exception(id, std::current_exception());
    }
  }

  std::shared_ptr<CompletionState<R>> state_;
  std::optional<F> job_;
};

}  // namespace detail

class Runtime {
 public:
  static constexpr std::size_t kPoolThreadsBeyondTaskThreads = 512;
  static constexpr std::chrono::seconds kPoolIdleTime{10};

  // Starts `task_threads` task threads, each a long-lived job of a new blocking pool whose limit
  // is 512 plus `task_threads`; each takes the next task identifier. Throws
  // Fault("OS can't spawn worker thread: ...") when the system refuses one, Fault for 0 threads.
  // `pool_idle_time` and `start_thread` exist for tests.
  explicit Runtime(std::size_t task_threads,
                   std::chrono::nanoseconds pool_idle_time = kPoolIdleTime,
                   BlockingPool::ThreadStarter start_thread = {});
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  // Drops queued tasks and jobs (their handles report Cancelled), lets running jobs end and waits
  // until every thread has left. The process-wide runtime is never destroyed.
  // REQUIRES: not called on a thread of this runtime.
  ~Runtime();

  std::size_t task_thread_count() const noexcept { return task_threads_; }
  std::size_t pool_thread_limit() const noexcept { return pool_->max_threads(); }
  // Live threads of the pool, task threads included.
  std::size_t pool_thread_count() const { return pool_->thread_count(); }

  // Queues `task` on the task threads; it starts without anyone awaiting the handle. A fault
  // inside it ends only this task and shows in the handle.
  template <typename T>
  CompletionHandle<T> spawn_task(Task<T> task) {
    const std::uint64_t id = next_task_id();
    auto state = std::make_shared<detail::CompletionState<T>>(id, false);
    start_task(id, detail::root_body<T>(std::move(task), state), state);
    return CompletionHandle<T>(std::move(state));
  }

  // Runs `job` on the pool for blocking jobs. Throws Fault("OS can't spawn worker thread: ...")
  // when it needs a thread that the system refuses and no pool thread can take it.
  template <typename F>
  CompletionHandle<std::invoke_result_t<F>> spawn_blocking_job(F job) {
    using R = std::invoke_result_t<F>;
    static_assert(!std::is_reference_v<R>, "a blocking job returns a value");
    const std::uint64_t id = next_task_id();
    auto state = std::make_shared<detail::CompletionState<R>>(id, true);
    pool_->submit(UniqueFunction(detail::JobRunner<F, R>(state, std::move(job))));
    return CompletionHandle<R>(std::move(state));
  }

 private:
  void start_task(std::uint64_t id, Task<void> root, std::shared_ptr<CompletionBase> completion);

  const std::size_t task_threads_;
  std::shared_ptr<Scheduler> scheduler_;
  std::shared_ptr<BlockingPool> pool_;
};

// The process's runtime, built on the first call with worker_thread_count() task threads.
// Concurrent first callers wait for the build and get the same runtime. Throws Fault when the
// build fails; after that every call throws at once. A forked child (by libc's fork or a raw fork
// system call) builds a runtime of its own on its first call: its copy of the parent's runtime
// has none of the parent's threads and is abandoned untouched, never locked, woken or freed.
Runtime& runtime();

// The runtime whose task thread or pool thread the caller is on, or nullptr.
Runtime* current_runtime() noexcept;
// As current_runtime(), but throws Fault off the runtime's threads.
Runtime& driving_runtime();

// True on a task thread (of any runtime).
bool on_task_thread() noexcept;

// Spawn on the runtime that drives the calling task (or owns the calling pool thread).
template <typename T>
CompletionHandle<T> spawn_task(Task<T> task) {
  return driving_runtime().spawn_task(std::move(task));
}
template <typename F>
auto spawn_blocking_job(F job) {
  return driving_runtime().spawn_blocking_job(std::move(job));
}

// Suspends the calling task for at least `duration`. REQUIRES: awaited inside a runtime task.
Task<void> sleep_for(std::chrono::nanoseconds duration);

}  // namespace veltrano::runtime
