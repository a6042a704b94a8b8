#include "runtime/blocking_pool.hpp"

#include <pthread.h>

#include <string>
#include <system_error>
#include <thread>

#include "base/fault.hpp"

namespace veltrano::runtime {

namespace {

std::string spawn_failure(const std::system_error& error) {
  // A compatibility text that callers match on: keep it as it is (docs/design.md).
  return std::string("OS can't spawn worker thread: ") + error.what();
}

}  // namespace

std::shared_ptr<BlockingPool> BlockingPool::create(Options options) {
  return std::make_shared<BlockingPool>(Private{}, std::move(options));
}

BlockingPool::BlockingPool(Private, Options options) : options_(std::move(options)) {}

std::size_t BlockingPool::thread_count() const {
  MutexLock lock(mutex_);
  return threads_;
}

void BlockingPool::start_thread(UniqueFunction first_job) {
  UniqueFunction body([self = shared_from_this(), first = std::move(first_job)]() mutable {
    self->worker_loop(std::move(first));
  });
  if (options_.start_thread) {
    options_.start_thread(std::move(body));
  } else {
    std::thread(std::move(body)).detach();
  }
}

void BlockingPool::submit(UniqueFunction job) {
  std::uint64_t seq = 0;
  bool notify = false;
  bool spawn = false;
  {
    MutexLock lock(mutex_);
    if (shutdown_) {
      lock.unlock();
      job = UniqueFunction();  // dropped unrun
      return;
    }
    seq = next_seq_++;
    queue_.emplace_back(seq, std::move(job));
    // Woken threads count as idle until they take their job, hence the comparison with the queue.
    if (idle_ >= queue_.size()) {
      notify = true;
    } else if (threads_ < options_.max_threads) {
      ++threads_;
      spawn = true;
    }
  }
  if (notify) {
    work_cv_.notify_one();
  }
  if (!spawn) {
    return;
  }
  try {
    start_thread(UniqueFunction());
  } catch (const std::system_error& error) {
    UniqueFunction stranded;
    {
      MutexLock lock(mutex_);
      --threads_;
      if (threads_ == 0) {
        exit_cv_.notify_all();
      }
      // Threads busy with a dedicated job (the task threads) never come to the queue.
      if (threads_ == dedicated_busy_) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
          if (it->first == seq) {
            stranded = std::move(it->second);
            queue_.erase(it);
            break;
          }
        }
      }
    }
    if (stranded) {
      stranded = UniqueFunction();
      throw Fault(spawn_failure(error));
    }
    // Another thread of the pool will take the job.
  }
}

void BlockingPool::start_dedicated(UniqueFunction job) {
  {
    MutexLock lock(mutex_);
    if (shutdown_) {
      throw Fault("the blocking pool is shut down");
    }
    if (threads_ >= options_.max_threads) {
      throw Fault("the blocking pool has no room for another thread");
    }
    ++threads_;
    ++dedicated_busy_;
  }
  try {
    start_thread(std::move(job));
  } catch (const std::system_error& error) {
    {
      MutexLock lock(mutex_);
      --dedicated_busy_;
      if (--threads_ == 0) {
        exit_cv_.notify_all();
      }
    }
    throw Fault(spawn_failure(error));
  }
}

void BlockingPool::worker_loop(UniqueFunction first_job) {
  pthread_setname_np(pthread_self(), kWorkerThreadName);
  if (options_.on_thread_start) {
    options_.on_thread_start();
  }
  MutexLock lock(mutex_, std::defer_lock);
  if (first_job) {
    first_job();
    first_job = UniqueFunction();
    lock.lock();
    --dedicated_busy_;
  } else {
    lock.lock();
  }
  while (true) {
    if (!queue_.empty()) {
      UniqueFunction job = std::move(queue_.front().second);
      queue_.pop_front();
      lock.unlock();
      job();
      job = UniqueFunction();  // the job's captures die outside the lock
      lock.lock();
      continue;
    }
    if (shutdown_) {
      break;
    }
    ++idle_;
    const auto deadline = std::chrono::steady_clock::now() + options_.idle_timeout;
    bool woken = true;
    while (queue_.empty() && !shutdown_) {
      if (lock.wait_until(work_cv_, deadline) == std::cv_status::timeout) {
        woken = !queue_.empty() || shutdown_;
        break;
      }
    }
    --idle_;
    if (!woken) {
      break;  // no job for the whole idle time
    }
  }
  if (--threads_ == 0) {
    exit_cv_.notify_all();
  }
}

void BlockingPool::begin_shutdown() {
  std::deque<std::pair<std::uint64_t, UniqueFunction>> dropped;
  {
    MutexLock lock(mutex_);
    shutdown_ = true;
    dropped.swap(queue_);
  }
  work_cv_.notify_all();
  dropped.clear();  // each dropped job reports Cancelled
}

void BlockingPool::shutdown() {
  begin_shutdown();
  MutexLock lock(mutex_);
  while (threads_ != 0) {
    lock.wait(exit_cv_);
  }
}

}  // namespace veltrano::runtime
