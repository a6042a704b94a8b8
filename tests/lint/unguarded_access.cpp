// Faults that clang's -Wthread-safety must report, each on the line that expects it (-verify),
// next to the locking patterns of src/ that it must accept. make lint-threads also compiles this
// file without the analysis, so a failure here can only come from the analysis itself.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>

#include "base/mutex.hpp"

// The expected diagnostics must stay on the lines they name.
// clang-format off
namespace veltrano::lint {

class Counter {
 public:
  // The patterns the runtime uses: a deferred lock, leaving the lock and taking it again, and a
  // wait loop whose condition is read under the lock.
  void accepted_patterns() {
    MutexLock lock(mutex_, std::defer_lock);
    lock.lock();
    ++count_;
    lock.unlock();
    lock.lock();
    while (count_ == 0) {
      lock.wait(cv_);
    }
    if (lock.wait_until(cv_, std::chrono::steady_clock::now()) == std::cv_status::timeout) {
      add_locked(1);
    }
  }

  std::size_t read_unlocked() const {
    return count_;  // expected-error {{reading variable 'count_' requires holding mutex 'mutex_'}}
  }

  void write_after_unlock() {
    MutexLock lock(mutex_);
    lock.unlock();
    count_ = 0;  // expected-error {{writing variable 'count_' requires holding mutex 'mutex_' exclusively}}
    lock.lock();
  }

  void deferred_never_locked() {
    MutexLock lock(mutex_, std::defer_lock);
    ++count_;  // expected-error {{writing variable 'count_' requires holding mutex 'mutex_' exclusively}}
  }

  void call_without_lock() {
    add_locked(1);  // expected-error {{calling function 'add_locked' requires holding mutex 'mutex_' exclusively}}
  }

  void lock_twice() {
    MutexLock outer(mutex_);  // expected-note {{mutex acquired here}}
    MutexLock inner(mutex_);  // expected-error {{acquiring mutex 'mutex_' that is already held}}
  }

  // A predicate runs apart from the function that holds the lock: the reason src/ writes its
  // waits as loops.
  void wait_with_predicate() {
    MutexLock lock(mutex_);
    auto ready = [this] {
      return count_ > 0;  // expected-error {{reading variable 'count_' requires holding mutex 'mutex_'}}
    };
    while (!ready()) {
      lock.wait(cv_);
    }
  }

 private:
  void add_locked(std::size_t n) VELTRANO_REQUIRES(mutex_) { count_ += n; }

  mutable Mutex mutex_;
  std::condition_variable cv_;
  std::size_t count_ VELTRANO_GUARDED_BY(mutex_) = 0;
};

// Shared state reached through a smart pointer, as the cancel channel is.
struct Channel {
  Mutex mutex;
  bool sent VELTRANO_GUARDED_BY(mutex) = false;
};

bool peek(const std::shared_ptr<Channel>& channel) {
  return channel->sent;  // expected-error {{reading variable 'sent' requires holding mutex 'channel->mutex'}}
}

bool look(const std::shared_ptr<Channel>& channel) {
  MutexLock lock(channel->mutex);
  return channel->sent;
}

// A function-local static guarded by a function-local mutex.
bool install_once() {
  static constinit Mutex mutex;
  static constinit bool installed VELTRANO_GUARDED_BY(mutex) = false;
  {
    MutexLock lock(mutex);
    installed = true;
  }
  return installed;  // expected-error {{reading variable 'installed' requires holding mutex 'mutex'}}
}

// Handlers that keep a lock across a call, as the fork handlers do: the pair must match.
Channel& process_channel();
void take_across() VELTRANO_ACQUIRE(process_channel().mutex) { process_channel().mutex.lock(); }
void give_back() VELTRANO_RELEASE(process_channel().mutex) { process_channel().mutex.unlock(); }
void forget_to_take() VELTRANO_ACQUIRE(process_channel().mutex) {  // expected-note {{mutex acquired here}}
}  // expected-error {{expecting mutex 'process_channel().mutex' to be held at the end of function}}

}  // namespace veltrano::lint
// clang-format on
