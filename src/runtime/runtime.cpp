#include "runtime/runtime.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/mutex.hpp"
#include "runtime/task_core.hpp"
#include "runtime/worker_threads.hpp"

namespace veltrano::runtime {

namespace {

// A compatibility text that callers match on: keep it as it is (docs/design.md).
constexpr char kForkedChildText[] = "worker runtime is not available in a forked child process";
constexpr char kPoisonedText[] =
    "worker runtime configuration mutex is poisoned: an earlier build of the runtime failed";

thread_local Runtime* tls_runtime = nullptr;

// The configuration mutex and the once-only cell of the process-wide runtime.
struct ProcessRuntime {
  Mutex mutex;
  bool poisoned VELTRANO_GUARDED_BY(mutex) = false;
  std::atomic<Runtime*> instance{nullptr};
  std::atomic<bool> in_forked_child{false};
  // The process that built the runtime: a fork that skipped libc's handlers (a raw system call)
  // is noticed by the process id alone.
  std::atomic<pid_t> built_in{0};
};

// Never destroyed, and neither is the runtime it holds: worker threads may still be running
// while the process exits, and nothing may tear their state down under them at static
// destruction time.
ProcessRuntime& process_runtime() {
  static ProcessRuntime* const state = std::make_unique<ProcessRuntime>().release();
  return *state;
}

// A fork waits for a build in progress: otherwise the child would inherit the configuration
// mutex held by a thread that does not exist there, and its first runtime() call would hang.
// The lock is held across fork(): taken here, released by one of the two handlers below.
void lock_before_fork() VELTRANO_ACQUIRE(process_runtime().mutex) {
  process_runtime().mutex.lock();
}

void unlock_in_parent() VELTRANO_RELEASE(process_runtime().mutex) {
  process_runtime().mutex.unlock();
}

// A forked child has only the forking thread; the parent's task and pool threads are gone, so
// the inherited runtime would accept work that never runs.
void mark_forked_child() VELTRANO_RELEASE(process_runtime().mutex) {
  ProcessRuntime& process = process_runtime();
  if (process.instance.load(std::memory_order_relaxed) != nullptr) {
    process.in_forked_child.store(true, std::memory_order_relaxed);
  }
  process_runtime().mutex.unlock();  // named as in the annotation, which the analysis matches
}

// Registered when the library is loaded, before any of its threads exists: registered lazily,
// a fork landing during the registration would leave the child waiting for a once-only guard
// held by a thread it does not have, just as it would for the mutex.
const bool fork_handlers_installed =
    pthread_atfork(&lock_before_fork, &unlock_in_parent, &mark_forked_child) == 0;

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
    if (process.in_forked_child.load(std::memory_order_relaxed) ||
        process.built_in.load(std::memory_order_relaxed) != ::getpid()) {
      throw Fault(kForkedChildText);
    }
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
    if (!fork_handlers_installed) {
      throw Fault("Unable to build worker runtime: cannot install the fork handler");
    }
    auto built = std::make_unique<Runtime>(worker_thread_count());
    Runtime* leaked = built.release();  // see process_runtime(): never destroyed
    process.built_in.store(::getpid(), std::memory_order_relaxed);
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
