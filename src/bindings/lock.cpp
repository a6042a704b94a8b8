#include "bindings/lock.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.hpp"

namespace veltrano::bindings {
namespace {

// Never destroyed: threads the interpreter abandons at exit may still queue releases while static
// destructors run.
struct PendingReleases {
  explicit PendingReleases(pid_t pid) : owner(pid) {}
  std::atomic<pid_t> owner;
  // Whether objects may be non-empty: lets a drain with nothing queued (every lock section's end)
  // return without a system call or a lock.
  std::atomic<bool> queued{false};
  Mutex mutex;
  std::vector<PyObject*> objects VELTRANO_GUARDED_BY(mutex);
};

constinit std::atomic<PendingReleases*> pending_releases_instance{nullptr};

// The list of this process, made without a lock or once-only guard that a fork could split. A
// child of a fork system call that ran no fork handlers may have inherited the list locked by a
// thread it does not have: it starts a list of its own and leaves that one untouched.
PendingReleases& pending_releases() {
  PendingReleases* pending = pending_releases_instance.load(std::memory_order_acquire);
  const pid_t self = ::getpid();
  while (pending == nullptr || pending->owner.load(std::memory_order_relaxed) != self) {
    auto fresh = std::make_unique<PendingReleases>(self);
    if (pending_releases_instance.compare_exchange_strong(pending, fresh.get(),
                                                          std::memory_order_acq_rel)) {
      pending = fresh.release();
    }
  }
  return *pending;
}

std::atomic<bool> interpreter_exiting{false};

// Lock sections under way on threads that did not hold the lock, in the process whose id is
// counting_process: a fork copies the count of threads the child does not have.
std::atomic<int> sections_under_way{0};
thread_local int sections_on_this_thread = 0;
pid_t counting_process = ::getpid();
constexpr int kExitWaitMilliseconds = 5000;

// A fork waits until no thread is queueing a release, so the child's copy of the list is not
// locked by a thread it does not have. The child keeps only the forking thread and its sections.
// The lock is held across fork(): taken by the first handler, released by one of the other two.
PendingReleases* list_held_across_fork = nullptr;

void lock_pending_before_fork() noexcept VELTRANO_NO_THREAD_SAFETY_ANALYSIS {
  list_held_across_fork = &pending_releases();
  list_held_across_fork->mutex.lock();
}
void unlock_pending_in_parent() noexcept VELTRANO_NO_THREAD_SAFETY_ANALYSIS {
  list_held_across_fork->mutex.unlock();
}
void reset_in_child() noexcept VELTRANO_NO_THREAD_SAFETY_ANALYSIS {
  list_held_across_fork->owner.store(::getpid(), std::memory_order_relaxed);
  list_held_across_fork->mutex.unlock();
  sections_under_way.store(sections_on_this_thread, std::memory_order_seq_cst);
  counting_process = ::getpid();
}
[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(&lock_pending_before_fork, &unlock_pending_in_parent, &reset_in_child);

// Sections still under way in this process (a fork that skipped libc's handlers leaves the
// parent's count behind; then only this thread's own sections are real).
int sections_in_this_process() noexcept {
  if (::getpid() != counting_process) {
    return sections_on_this_thread;
  }
  return sections_under_way.load(std::memory_order_seq_cst);
}

// The interpreter thread state of a thread that has no Python frames of its own (a worker):
// created by its first lock section and kept, so that later sections find it through
// PyGILState_Ensure instead of creating and deleting one each time. Released when the thread
// ends, unless the interpreter is going away by then (finalisation deletes it itself).
//
// The release names the state itself instead of going through PyGILState_Release, which finds
// it in the interpreter's thread-specific slot: where the C library has no thread-exit hook for
// C++ (musl), thread_local destructors run from a thread-specific key's destructor, after the
// C library may already have cleared the interpreter's slot.
struct KeptThreadState {
  PyThreadState* state = nullptr;

  ~KeptThreadState() {
    if (state == nullptr) {
      return;
    }
    detail::SectionCount count;
    if (interpreter_is_gone()) {
      return;
    }
    PyEval_RestoreThread(state);
    PyThreadState_Clear(state);
    PyEval_SaveThread();
    PyThreadState_Delete(state);  // also empties the slot, if it still names this state
  }
};
thread_local KeptThreadState kept_thread_state;

// REQUIRES: the lock is not held by this thread.
void keep_thread_state() {
  KeptThreadState& kept = kept_thread_state;
  if (kept.state != nullptr || PyGILState_GetThisThreadState() != nullptr) {
    return;  // kept already, or a thread the interpreter knows (a Python thread)
  }
  PyGILState_Ensure();  // the outermost: the release above deletes the state outright
  kept.state = PyEval_SaveThread();
}

}  // namespace

int& lock_depth() noexcept {
  thread_local int depth = 0;
  return depth;
}

void release_reference(PyObject* object) noexcept {
  if (object == nullptr) {
    return;
  }
  if (lock_depth() > 0) {
    Py_DecRef(object);
    return;
  }
  PendingReleases& pending = pending_releases();
  MutexLock lock(pending.mutex);
  pending.objects.push_back(object);
  pending.queued.store(true, std::memory_order_release);
}

void drain_pending_releases() noexcept {
  const PendingReleases* last = pending_releases_instance.load(std::memory_order_acquire);
  if (last == nullptr || !last->queued.load(std::memory_order_acquire)) {
    return;
  }
  PendingReleases& pending = pending_releases();
  std::vector<PyObject*> taken;
  {
    MutexLock lock(pending.mutex);
    pending.queued.store(false, std::memory_order_relaxed);
    if (pending.objects.empty()) {
      return;
    }
    taken.swap(pending.objects);
  }
  for (PyObject* object : taken) {
    Py_DecRef(object);
  }
}

detail::SectionCount::SectionCount() noexcept {
  sections_under_way.fetch_add(1, std::memory_order_seq_cst);
  ++sections_on_this_thread;
}

detail::SectionCount::~SectionCount() {
  --sections_on_this_thread;
  sections_under_way.fetch_sub(1, std::memory_order_seq_cst);
}

detail::LockSection::LockSection() {
  // Counted before the check, so that mark_interpreter_exiting either sees this section and
  // waits for it, or this section sees the mark and stays out.
  if (interpreter_is_gone()) {
    throw Fault("the interpreter is shutting down");
  }
  keep_thread_state();
  state_ = PyGILState_Ensure();
}

void detail::LockSection::leave() noexcept { PyGILState_Release(state_); }

void mark_interpreter_exiting() noexcept {
  interpreter_exiting.store(true, std::memory_order_seq_cst);
  // A section past the check may be waiting for the lock this thread holds: let it finish.
  for (int waited = 0;
       sections_in_this_process() > sections_on_this_thread && waited < kExitWaitMilliseconds;
       ++waited) {
    int saved_depth = std::exchange(lock_depth(), 0);
    PyThreadState* state = PyEval_SaveThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    PyEval_RestoreThread(state);
    lock_depth() = saved_depth;
  }
}

bool interpreter_is_gone() noexcept {
  return interpreter_exiting.load(std::memory_order_acquire) || !Py_IsInitialized();
}

}  // namespace veltrano::bindings
