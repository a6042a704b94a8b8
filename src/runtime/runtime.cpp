#include "runtime/runtime.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/mutex.hpp"
#include "runtime/task_core.hpp"
#include "runtime/worker_threads.hpp"

namespace veltrano::runtime {

namespace {

constexpr char kPoisonedText[] =
    "worker runtime configuration mutex is poisoned: an earlier build of the runtime failed";

thread_local Runtime* tls_runtime = nullptr;

// Advanced in every child that libc's fork runs its handlers in; a child made by a raw fork system
// call is told apart by its process id instead.
constinit std::atomic<std::uint64_t> forks_seen{0};

// The configuration mutex and the once-only cell of the runtime of one process. A forked child
// has none of its parent's threads: it leaves its copy of the parent's record untouched (its
// mutex may be held, its runtime's queues may hold work that no thread will run) and starts a
// record of its own.
struct ProcessRuntime {
  ProcessRuntime(pid_t pid, std::uint64_t forks) : owner(pid), forks_at_start(forks) {}

  const pid_t owner;
  const std::uint64_t forks_at_start;
  Mutex mutex;
  bool poisoned VELTRANO_GUARDED_BY(mutex) = false;
  std::atomic<Runtime*> instance{nullptr};

  bool belongs_to_this_process() const noexcept {
    return forks_at_start == forks_seen.load(std::memory_order_acquire) && owner == ::getpid();
  }
};

// Records are never destroyed, and neither are their runtimes: worker threads may still be
// running while the process exits, and a forked child's inherited record may be locked by a
// thread that does not exist there.
constinit std::atomic<ProcessRuntime*> current_record{nullptr};

ProcessRuntime& process_runtime() {
  ProcessRuntime* record = current_record.load(std::memory_order_acquire);
  while (record == nullptr || !record->belongs_to_this_process()) {
    auto fresh =
        std::make_unique<ProcessRuntime>(::getpid(), forks_seen.load(std::memory_order_acquire));
    // Lock-free, so that no lock is needed that a fork could split; a loser drops its record.
    if (current_record.compare_exchange_strong(record, fresh.get(), std::memory_order_acq_rel)) {
      record = fresh.release();
    }
  }
  return *record;
}

void count_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_acq_rel); }

// Registered when the library is loaded, before any of its threads exists.
const bool fork_handler_installed = pthread_atfork(nullptr, nullptr, &count_fork_in_child) == 0;

class SleepAwaiter {
 public:
  explicit SleepAwaiter(Scheduler::Clock::time_point deadline) noexcept : deadline_(deadline) {}
  SleepAwaiter(const SleepAwaiter&) = delete;
  SleepAwaiter& operator=(const SleepAwaiter&) = delete;
  // A frame destroyed while sleeping takes its timer with it.
  ~SleepAwaiter() {
    if (scheduler_ != nullptr) {
      scheduler_->cancel_timer(key_);
    }
  }

  bool await_ready() const noexcept { return Scheduler::Clock::now() >= deadline_; }
  void await_suspend(std::coroutine_handle<> awaiting) {
    TaskCore* core = TaskCore::current();
    if (core == nullptr) {
      throw Fault("sleep_for can only be awaited inside a runtime task");
    }
    core->set_resume_point(awaiting);
    key_ = core->scheduler().add_timer(deadline_, core->make_waker());
    scheduler_ = &core->scheduler();
  }
  void await_resume() noexcept { scheduler_ = nullptr; }  // the timer has fired

 private:
  Scheduler::Clock::time_point deadline_;
  Scheduler* scheduler_ = nullptr;
  Scheduler::TimerKey key_{};
};

}  // namespace

Runtime::Runtime(std::size_t task_threads, std::chrono::nanoseconds pool_idle_time,
                 BlockingPool::ThreadStarter start_thread)
    : task_threads_(task_threads) {
  if (task_threads == 0) {
    throw Fault("a worker runtime needs at least one task thread");
  }
  scheduler_ = std::make_shared<Scheduler>();
  BlockingPool::Options options;
  options.max_threads = kPoolThreadsBeyondTaskThreads + task_threads;
  options.idle_timeout = pool_idle_time;
  options.on_thread_start = [this] { tls_runtime = this; };
  options.start_thread = std::move(start_thread);
  pool_ = BlockingPool::create(std::move(options));
  try {
    for (std::size_t i = 0; i < task_threads; ++i) {
      next_task_id();
      pool_->start_dedicated(
          UniqueFunction([scheduler = scheduler_] { scheduler->run_task_thread(); }));
    }
  } catch (...) {
    pool_->begin_shutdown();
    scheduler_->shutdown();
    pool_->shutdown();
    throw;
  }
}

Runtime::~Runtime() {
  // The pool first refuses jobs, so a task thread leaving its loop cannot pick up a queued one.
  pool_->begin_shutdown();
  scheduler_->shutdown();
  pool_->shutdown();
}

void Runtime::start_task(std::uint64_t id, Task<void> root,
                         std::shared_ptr<CompletionBase> completion) {
  auto core = std::make_shared<TaskCore>(id, std::move(root), completion, scheduler_);
  completion->attach_core(core);
  scheduler_->schedule(std::move(core));
}

Runtime& runtime() {
  ProcessRuntime& process = process_runtime();
  if (Runtime* built = process.instance.load(std::memory_order_acquire)) {
    return *built;
  }
  MutexLock lock(process.mutex);
  if (Runtime* built = process.instance.load(std::memory_order_relaxed)) {
    return *built;  // built by a concurrent first caller while this one waited
  }
  if (process.poisoned) {
    throw Fault(kPoisonedText);
  }
  // A fault below leaves the cell empty and the mutex poisoned for every later call.
  try {
    if (!fork_handler_installed) {
      throw Fault("Unable to build worker runtime: cannot install the fork handler");
    }
    auto built = std::make_unique<Runtime>(worker_thread_count());
    Runtime* leaked = built.release();  // see process_runtime(): never destroyed
    process.instance.store(leaked, std::memory_order_release);
    return *leaked;
  } catch (const Fault&) {
    process.poisoned = true;
    throw;
  } catch (const std::exception& error) {
    process.poisoned = true;
    throw Fault(std::string("Unable to build worker runtime: ") + error.what());
  }
}

Runtime* current_runtime() noexcept { return tls_runtime; }

Runtime& driving_runtime() {
  if (tls_runtime == nullptr) {
    throw Fault("not on a thread of a worker runtime");
  }
  return *tls_runtime;
}

bool on_task_thread() noexcept { return Scheduler::on_task_thread(); }

Task<void> sleep_for(std::chrono::nanoseconds duration) {
  if (duration <= std::chrono::nanoseconds::zero()) {
    co_return;
  }
  co_await SleepAwaiter(Scheduler::Clock::now() + duration);
}

}  // namespace veltrano::runtime
