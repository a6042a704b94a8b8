// Races between wakes, cancels and signals from other threads, repeated many times; meant to be
// run under ThreadSanitizer as well. Each iteration checks that the end is consistent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "runtime/async_semaphore.hpp"
#include "runtime/cancel_signal.hpp"
#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace std::chrono_literals;

constexpr int kIterations = 300;

struct Probe {
  std::atomic<int> started{0};  // a task cancelled before its first run never builds its locals
  std::atomic<int> frames_destroyed{0};
  std::atomic<int> completed{0};
};

class FrameGuard {
 public:
  explicit FrameGuard(Probe* probe) : probe_(probe) { probe_->started.fetch_add(1); }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;
  ~FrameGuard() { probe_->frames_destroyed.fetch_add(1); }

 private:
  Probe* probe_;
};

void spin_for(int iterations) {
  for (int i = 0; i < iterations; ++i) {
    asm volatile("" ::: "memory");  // keeps the loop
  }
}

Task<int> await_quick_job(Probe* probe, int job_spin) {
  FrameGuard guard(probe);
  auto job = spawn_blocking_job([job_spin] {
    spin_for(job_spin);
    return 1;
  });
  Outcome<int> outcome = co_await std::move(job);
  co_await sleep_for(std::chrono::microseconds(job_spin % 50));
  probe->completed.fetch_add(1);
  co_return outcome.value();
}

TEST(RuntimeRaces, HandleCancelAgainstJobCompletion) {
  Runtime rt(2, 100ms);
  std::mt19937 random(1234);
  for (int i = 0; i < kIterations; ++i) {
    Probe probe;
    auto handle = rt.spawn_task(await_quick_job(&probe, static_cast<int>(random() % 4000)));
    spin_for(static_cast<int>(random() % 4000));
    handle.cancel();
    auto outcome = handle.wait();
    ASSERT_EQ(probe.frames_destroyed.load(), probe.started.load());
    if (outcome.ok()) {
      ASSERT_EQ(probe.started.load(), 1);
      ASSERT_EQ(outcome.value(), 1);
      ASSERT_EQ(probe.completed.load(), 1);
    } else {
      ASSERT_EQ(outcome.error().kind, AbnormalEnd::Kind::Cancelled);
      ASSERT_EQ(probe.completed.load(), 0);
    }
  }
}

Task<int> cancellable_quick_job(Probe* probe, int job_spin, CancelReceiver receiver) {
  std::optional<int> r =
      co_await cancellable(await_quick_job(probe, job_spin), std::move(receiver));
  co_return r ? *r : -1;
}

TEST(RuntimeRaces, SignalFromAnotherThreadAgainstJobCompletion) {
  Runtime rt(2, 100ms);
  std::mt19937 random(99);
  for (int i = 0; i < kIterations; ++i) {
    Probe probe;
    auto [sender, receiver] = make_cancel_signal();
    auto handle = rt.spawn_task(
        cancellable_quick_job(&probe, static_cast<int>(random() % 4000), std::move(receiver)));
    const int delay = static_cast<int>(random() % 4000);
    const bool drop_instead = random() % 5 == 0;
    std::thread signaller([&, delay, drop_instead] {
      spin_for(delay);
      if (drop_instead) {
        CancelSender gone = std::move(sender);
      } else {
        sender.send();
      }
    });
    const int result = handle.wait().value();
    signaller.join();
    ASSERT_EQ(probe.frames_destroyed.load(), probe.started.load());
    if (result == -1) {
      ASSERT_FALSE(drop_instead);
      ASSERT_EQ(probe.completed.load(), 0);
    } else {
      ASSERT_EQ(result, 1);
      ASSERT_EQ(probe.completed.load(), 1);
    }
  }
}

Task<void> hold_permit(AsyncSemaphore* semaphore, std::atomic<int>* inside, std::atomic<int>* most,
                       int spin) {
  AsyncSemaphore::Permit permit = co_await semaphore->acquire();
  // Leaves before the permit is returned, also when the frame is destroyed by the signal.
  struct Inside {
    std::atomic<int>* count;
    ~Inside() { count->fetch_sub(1); }
  } mark{inside};
  const int now = inside->fetch_add(1) + 1;
  int seen = most->load();
  while (now > seen && !most->compare_exchange_weak(seen, now)) {
  }
  spin_for(spin);
  co_await sleep_for(std::chrono::microseconds(spin % 20));
}

Task<bool> cancellable_permit(AsyncSemaphore* semaphore, std::atomic<int>* inside,
                              std::atomic<int>* most, int spin, CancelReceiver receiver) {
  co_return co_await cancellable(hold_permit(semaphore, inside, most, spin), std::move(receiver));
}

TEST(RuntimeRaces, SemaphoreUnderCancellationNeverLosesOrDoublesAPermit) {
  Runtime rt(2, 100ms);
  std::mt19937 random(7);
  AsyncSemaphore semaphore(2);
  std::atomic<int> inside{0}, most{0};
  std::vector<CompletionHandle<bool>> handles;
  std::vector<CancelSender> senders;
  for (int i = 0; i < kIterations; ++i) {
    auto [sender, receiver] = make_cancel_signal();
    handles.push_back(rt.spawn_task(cancellable_permit(
        &semaphore, &inside, &most, static_cast<int>(random() % 2000), std::move(receiver))));
    senders.push_back(std::move(sender));
    if (random() % 3 == 0) {
      senders[random() % senders.size()].send();
    }
  }
  for (auto& handle : handles) {
    ASSERT_TRUE(handle.wait().ok());
  }
  EXPECT_LE(most.load(), 2);
  EXPECT_EQ(inside.load(), 0);
  EXPECT_EQ(semaphore.available(), 2u);
}

Task<int> many_small_steps(int steps) {
  int total = 0;
  for (int i = 0; i < steps; ++i) {
    auto child = spawn_task([](int v) -> Task<int> { co_return v; }(i));
    total += (co_await std::move(child)).value();
  }
  co_return total;
}

TEST(RuntimeRaces, TasksMovingBetweenThreadsUnderCancellation) {
  Runtime rt(2, 100ms);
  std::vector<CompletionHandle<int>> handles;
  for (int i = 0; i < 64; ++i) {
    handles.push_back(rt.spawn_task(many_small_steps(50)));
  }
  for (std::size_t i = 0; i < handles.size(); i += 3) {
    handles[i].cancel();
  }
  for (std::size_t i = 0; i < handles.size(); ++i) {
    auto outcome = handles[i].wait();
    if (outcome.ok()) {
      EXPECT_EQ(outcome.value(), 50 * 49 / 2);
    } else {
      EXPECT_EQ(i % 3, 0u);
    }
  }
}

}  // namespace
}  // namespace veltrano::runtime
