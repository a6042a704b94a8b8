#include "bindings/lock.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <mutex>
#include <vector>

namespace veltrano::bindings {
namespace {

// Created on first use and never destroyed: threads may still queue releases at process exit.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;  // GUARDED_BY(mutex)
};

std::atomic<PendingReleases*> pending_releases_instance{nullptr};

PendingReleases& pending_releases() {
  static PendingReleases* const instance = [] {
    static PendingReleases storage;  // lives until exit; no thread drains after finalisation
    pending_releases_instance.store(&storage, std::memory_order_release);
    return &storage;
  }();
  return *instance;
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
  std::lock_guard<std::mutex> lock(pending.mutex);
  pending.objects.push_back(object);
}

void drain_pending_releases() noexcept {
  PendingReleases* pending = pending_releases_instance.load(std::memory_order_acquire);
  if (pending == nullptr) {
    return;
  }
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> lock(pending->mutex);
    if (pending->objects.empty()) {
      return;
    }
    taken.swap(pending->objects);
  }
  for (PyObject* object : taken) {
    Py_DecRef(object);
  }
}

namespace {
std::atomic<bool> interpreter_exiting{false};
}  // namespace

namespace {
std::atomic<int> entries_in_flight{0};
constexpr int kExitWaitMilliseconds = 5000;
}  // namespace

detail::LockEntry::LockEntry() {
  entries_in_flight.fetch_add(1, std::memory_order_seq_cst);
  if (interpreter_is_gone()) {
    entries_in_flight.fetch_sub(1, std::memory_order_seq_cst);
    throw Fault("the interpreter is shutting down");
  }
}

detail::LockEntry::~LockEntry() { entries_in_flight.fetch_sub(1, std::memory_order_seq_cst); }

void mark_interpreter_exiting() noexcept {
  interpreter_exiting.store(true, std::memory_order_seq_cst);
  // A thread past the check may be waiting for the lock this thread holds: let it finish.
  for (int waited = 0; entries_in_flight.load(std::memory_order_seq_cst) > 0 && waited < kExitWaitMilliseconds;
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
