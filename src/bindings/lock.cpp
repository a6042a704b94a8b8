#include "bindings/lock.hpp"

#include <atomic>
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

void mark_interpreter_exiting() noexcept { interpreter_exiting.store(true, std::memory_order_release); }

bool interpreter_is_gone() noexcept {
  return interpreter_exiting.load(std::memory_order_acquire) || !Py_IsInitialized();
}

}  // namespace veltrano::bindings
