// Interpreter-lock bookkeeping: the per-thread lock depth, deferred reference releases, and the
// sections that release (without_lock) or take (with_lock) the lock. Thread-safe as documented.
#pragma once

#include <Python.h>

#include <utility>

#include "runtime/fault.hpp"

namespace veltrano::bindings {

// How many times this thread holds the interpreter lock through the module; 0 means not held.
int& lock_depth() noexcept;

// Releases one reference: at once when this thread holds the lock, otherwise queued in the
// process-wide pending list for the next drain. Safe on any thread.
void release_reference(PyObject* object) noexcept;

// Releases every queued reference. REQUIRES: the interpreter lock is held.
void drain_pending_releases() noexcept;

// Whether the interpreter can no longer be entered (finalising or finalised). Threads that finish
// late must then neither take the lock nor touch objects.
bool interpreter_is_gone() noexcept;

// Called once the interpreter starts to shut down (from an atexit hook): later lock sections on
// threads without the lock refuse to start, and this waits, with the lock released, until the
// ones already entering have left, so that no thread blocks on the lock during finalisation.
// REQUIRES: the lock is held.
void mark_interpreter_exiting() noexcept;

namespace detail {
// Counts a thread that is about to take the lock; refuses once the interpreter is going away.
class LockEntry {
 public:
  LockEntry();  // throws Fault when the interpreter is gone
  ~LockEntry();
  LockEntry(const LockEntry&) = delete;
  LockEntry& operator=(const LockEntry&) = delete;
};
}  // namespace detail

// Counts the lock as held for the lifetime of the guard. REQUIRES: the lock is held.
class LockDepthGuard {
 public:
  LockDepthGuard() noexcept { ++lock_depth(); }
  ~LockDepthGuard() { --lock_depth(); }
  LockDepthGuard(const LockDepthGuard&) = delete;
  LockDepthGuard& operator=(const LockDepthGuard&) = delete;
};

// Runs work with the interpreter lock released. The work must not touch interpreter objects;
// it may read buffers obtained before. A fault in the work continues after the lock is back.
// REQUIRES: the lock is held by this thread.
template <typename Work>
decltype(auto) without_lock(Work&& work) {
  struct Released {
    int saved_depth = std::exchange(lock_depth(), 0);
    PyThreadState* state = PyEval_SaveThread();
    ~Released() {
      lock_depth() = saved_depth;
      PyEval_RestoreThread(state);
      drain_pending_releases();
    }
  } released;
  return std::forward<Work>(work)();
}

// Runs work with the interpreter lock held, taking it if this thread does not hold it yet.
// Throws Fault if the interpreter is not initialised or is being finalised.
template <typename Work>
decltype(auto) with_lock(Work&& work) {
  if (lock_depth() > 0) {
    LockDepthGuard depth;
    drain_pending_releases();
    return std::forward<Work>(work)();
  }
  detail::LockEntry entry;
  struct Held {
    PyGILState_STATE state = PyGILState_Ensure();
    ~Held() {
      --lock_depth();
      PyGILState_Release(state);
    }
  } held;
  ++lock_depth();
  drain_pending_releases();
  return std::forward<Work>(work)();
}

}  // namespace veltrano::bindings
