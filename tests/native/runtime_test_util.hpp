// Helpers for the runtime tests: a one-shot event whose waits cannot hang a test run, small tasks
// and a destruction flag, and a look at the process's threads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime.hpp"

namespace veltrano::runtime::testing {

// Generous bound for waits that only guard against a hang; never a timing assertion.
inline constexpr std::chrono::seconds kHangGuard{60};

class Event {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool is_set() const {
    std::lock_guard lock(mutex_);
    return set_;
  }
  // False when the guard time passed without set().
  bool wait() const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kHangGuard, [&] { return set_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool set_ = false;
};

// Counts arrivals; wait_for_count() returns false if the count is not reached in the guard time.
class Counter {
 public:
  void arrive() {
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool wait_for_count(std::size_t n) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kHangGuard, [&] { return count_ >= n; });
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::size_t count_ = 0;
};

// Sets an event when destroyed: shows that a frame (or a value) was destroyed.
class DestroyFlag {
 public:
  explicit DestroyFlag(Event* event) : event_(event) {}
  DestroyFlag(DestroyFlag&& other) noexcept : event_(std::exchange(other.event_, nullptr)) {}
  DestroyFlag& operator=(DestroyFlag&&) = delete;
  ~DestroyFlag() {
    if (event_ != nullptr) {
      event_->set();
    }
  }

 private:
  Event* event_;
};

inline Task<int> twice(int x) { co_return 2 * x; }

// Sleeps far longer than any test runs; sets woke only if it ever wakes.
inline Task<void> sleep_long(std::atomic<bool>* woke) {
  co_await sleep_for(std::chrono::minutes(10));
  woke->store(true);
}

inline std::string this_thread_name() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// The names of the process's threads, from /proc/self/task/*/comm.
inline std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) {
      names.push_back(name);
    }
  }
  return names;
}

inline std::size_t threads_named(const std::string& wanted) {
  std::size_t n = 0;
  for (const std::string& name : thread_names()) {
    n += name == wanted ? 1 : 0;
  }
  return n;
}

}  // namespace veltrano::runtime::testing
