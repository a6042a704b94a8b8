// Interpreter-lock bookkeeping: the per-thread lock depth, deferred reference releases, and the
// sections that release (without_lock) or take (with_lock) the lock. Thread-safe as documented.
//
// At interpreter exit CPython ends a thread that tries to take the lock again by unwinding it
// (pthread_exit). Nothing here takes the lock in a destructor, and every catch-all lets that
// unwind pass, so such a thread ends quietly instead of aborting the process.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "bindings/forced_unwind.hpp"

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

// Called once finalisation is about to begin (after the last atexit callback): later lock
// sections on threads without the lock refuse to start, and this waits, with the lock released,
// until the sections already under way have ended, so that no thread takes the lock or touches
// the interpreter once it finalises. REQUIRES: the lock is held.
void mark_interpreter_exiting() noexcept;

namespace detail {

// How a piece of work ended: its value, or the C++ exception it threw.
template <typename R>
struct Captured {
  std::optional<R> value;
  std::exception_ptr fault;
  R take() && {
    if (fault) {
      std::rethrow_exception(fault);
    }
    return std::move(*value);
  }
};

template <>
struct Captured<void> {
  std::exception_ptr fault;
  void take() && {
    if (fault) {
      std::rethrow_exception(fault);
    }
  }
};

// Runs work and keeps how it ended. A forced unwind (the thread is being ended) is not an
// outcome: it passes on at once, since swallowing it aborts the process.
template <typename Work>
auto capture(Work& work) {
  using R = std::invoke_result_t<Work&>;
  static_assert(!std::is_reference_v<R>, "lock sections return values");
  Captured<R> captured;
  try {
    if constexpr (std::is_void_v<R>) {
      work();
    } else {
      captured.value.emplace(work());
    }
  } catch (...) {
    pass_on_forced_unwind();
    captured.fault = std::current_exception();
  }
  return captured;
}

// Counts a section on a thread that is taking the lock, for the exit wait; see with_lock.
class SectionCount {
 public:
  SectionCount() noexcept;
  ~SectionCount();
  SectionCount(const SectionCount&) = delete;
  SectionCount& operator=(const SectionCount&) = delete;
};

// A lock section on a thread that does not hold the lock. The constructor refuses (throws Fault)
// once the interpreter is going away, and otherwise takes the lock through the thread's kept
// interpreter thread state; leave() gives it back. The destructor gives nothing back: when it
// runs without leave(), the thread is being unwound without the lock.
class LockSection {
 public:
  LockSection();
  void leave() noexcept;
  LockSection(const LockSection&) = delete;
  LockSection& operator=(const LockSection&) = delete;

 private:
  SectionCount count_;  // a member, so that an unwind out of the constructor still uncounts
  PyGILState_STATE state_;
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
auto without_lock(Work&& work) {
  const int saved_depth = std::exchange(lock_depth(), 0);
  PyThreadState* state = PyEval_SaveThread();
  auto captured = detail::capture(work);
  // Taken back in plain code: at interpreter exit this call unwinds the thread.
  PyEval_RestoreThread(state);
  lock_depth() = saved_depth;
  drain_pending_releases();
  return std::move(captured).take();
}

// Runs work with the interpreter lock held, taking it if this thread does not hold it yet.
// Throws Fault if the interpreter is not initialised or is being finalised.
template <typename Work>
auto with_lock(Work&& work) {
  if (lock_depth() > 0) {
    LockDepthGuard depth;
    drain_pending_releases();
    return std::forward<Work>(work)();
  }
  detail::LockSection section;
  ++lock_depth();
  drain_pending_releases();
  auto captured = detail::capture(work);
  --lock_depth();
  section.leave();
  return std::move(captured).take();
}

}  // namespace veltrano::bindings
