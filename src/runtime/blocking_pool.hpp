// BlockingPool: the growing pool of threads for blocking jobs (a queue plus a condition variable).
// Thread-safe; every thread it starts is named "veltrano-worker" and leaves after its idle time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include "base/mutex.hpp"
#include "runtime/unique_function.hpp"

namespace veltrano::runtime {

// A name tools and tests look for (docs/design.md).
inline constexpr char kWorkerThreadName[] = "veltrano-worker";

class BlockingPool : public std::enable_shared_from_this<BlockingPool> {
 public:
  // Starts a detached thread running `body`; throws std::system_error when the system refuses.
  using ThreadStarter = std::function<void(UniqueFunction body)>;

  struct Options {
    std::size_t max_threads = 1;
    std::chrono::nanoseconds idle_timeout = std::chrono::seconds(10);
    std::function<void()> on_thread_start;  // first thing every new thread runs
    ThreadStarter start_thread;             // empty: a detached std::thread
  };

  static std::shared_ptr<BlockingPool> create(Options options);
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Queues `job`. An idle thread is woken, else a thread is started below the limit, else the job
  // waits. Throws Fault("OS can't spawn worker thread: ...") when a thread is needed, the system
  // refuses it and no pool thread exists to take the job (the job is dropped unrun). After
  // shutdown() the job is dropped unrun at once.
  void submit(UniqueFunction job);

  // Runs `job` on a new thread of its own, counted against the limit; the thread joins the pool
  // when the job returns. Throws Fault when the system refuses the thread or the pool is full or
  // shut down.
  void start_dedicated(UniqueFunction job);

  std::size_t thread_count() const;
  std::size_t max_threads() const noexcept { return options_.max_threads; }

  // Drops the queued jobs unrun and refuses new ones; running jobs go on.
  void begin_shutdown();
  // begin_shutdown(), then waits until every thread has left (dedicated jobs must return).
  // REQUIRES: not called on a thread of this pool.
  void shutdown();

 private:
  struct Private {};

 public:
  BlockingPool(Private, Options options);

 private:
  void start_thread(UniqueFunction first_job);
  void worker_loop(UniqueFunction first_job);

  const Options options_;
  mutable Mutex mutex_;
  std::condition_variable work_cv_;
  std::condition_variable exit_cv_;
  std::deque<std::pair<std::uint64_t, UniqueFunction>> queue_ VELTRANO_GUARDED_BY(mutex_);
  std::uint64_t next_seq_ VELTRANO_GUARDED_BY(mutex_) = 0;
  std::size_t threads_ VELTRANO_GUARDED_BY(mutex_) = 0;
  // Threads still in their dedicated job.
  std::size_t dedicated_busy_ VELTRANO_GUARDED_BY(mutex_) = 0;
  std::size_t idle_ VELTRANO_GUARDED_BY(mutex_) = 0;
  bool shutdown_ VELTRANO_GUARDED_BY(mutex_) = false;
};

}  // namespace veltrano::runtime
