// The pool for blocking jobs: parallelism up to its limit, idle threads leaving, thread names,
// refused threads, and jobs dropped before they start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/blocking_pool.hpp"
#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using testing::Counter;
using testing::Event;
using namespace std::chrono_literals;

// Waits (with the hang guard) until pred() holds.
template <typename Pred>
bool eventually(Pred pred) {
  const auto give_up = std::chrono::steady_clock::now() + testing::kHangGuard;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > give_up) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Runs `jobs` blocking jobs that each wait until all of them have started, so that each holds a
// pool thread at once; true when every job saw all the others (false if they never ran together).
bool run_together(Runtime& rt, std::size_t jobs) {
  Counter arrived;
  std::vector<CompletionHandle<bool>> handles;
  for (std::size_t i = 0; i < jobs; ++i) {
    handles.push_back(rt.spawn_blocking_job([&arrived, jobs] {
      arrived.arrive();
      return arrived.wait_for_count(jobs);
    }));
  }
  bool all = true;
  for (auto& handle : handles) {
    all = handle.wait().value() && all;
  }
  return all;
}

TEST(BlockingPool, SixteenJobsWaitingOnOneBarrierAllRunAtOnce) {
  Runtime rt(2, 200ms);
  EXPECT_TRUE(run_together(rt, 16));
  EXPECT_GE(rt.pool_thread_count(), 2u + 16u);
  EXPECT_EQ(rt.pool_thread_limit(), 514u);
}

TEST(BlockingPool, IdleThreadsLeaveAndTaskThreadsStay) {
  Runtime rt(2, 50ms);
  EXPECT_TRUE(run_together(rt, 4));
  EXPECT_TRUE(eventually([&] { return rt.pool_thread_count() == 2; }));
  // The task threads never leave, and the pool grows again on demand.
  EXPECT_EQ(rt.spawn_task([]() -> Task<int> { co_return 3; }()).wait().value(), 3);
  EXPECT_EQ(rt.spawn_blocking_job([] { return 4; }).wait().value(), 4);
}

// The one slow test: the real idle time of 10 seconds.
TEST(BlockingPool, SlowIdleThreadsLeaveAfterTenSeconds) {
  Runtime rt(2);
  EXPECT_TRUE(run_together(rt, 3));
  const auto idle_since = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return rt.pool_thread_count() == 2; }));
  EXPECT_GE(std::chrono::steady_clock::now() - idle_since, 10s);  // never before the idle time
}

TEST(BlockingPool, EveryThreadIsNamed) {
  Runtime rt(2, 200ms);
  EXPECT_EQ(rt.spawn_blocking_job([] { return testing::this_thread_name(); }).wait().value(),
            "veltrano-worker");
  EXPECT_EQ(rt.spawn_task([]() -> Task<std::string> { co_return testing::this_thread_name(); }())
                .wait()
                .value(),
            "veltrano-worker");
  EXPECT_TRUE(eventually(
      [&] { return testing::threads_named("veltrano-worker") == rt.pool_thread_count(); }));
}

TEST(BlockingPool, JobsBeyondTheLimitWaitInTheQueue) {
  BlockingPool::Options options;
  options.max_threads = 2;
  options.idle_timeout = 1s;
  auto pool = BlockingPool::create(std::move(options));
  std::mutex m;
  int running = 0, most = 0;
  Event release;
  Counter started, done;
  for (int i = 0; i < 5; ++i) {
    pool->submit(UniqueFunction([&] {
      {
        std::lock_guard lock(m);
        most = std::max(most, ++running);
      }
      started.arrive();  // counted as running first, or a released job could leave before it
      release.wait();
      {
        std::lock_guard lock(m);
        --running;
      }
      done.arrive();
    }));
  }
  ASSERT_TRUE(started.wait_for_count(2));
  EXPECT_EQ(pool->thread_count(), 2u);
  EXPECT_EQ(started.count(), 2u);  // both threads are held; the other three wait in the queue
  release.set();
  EXPECT_TRUE(done.wait_for_count(5));
  EXPECT_EQ(most, 2);
  pool->shutdown();
  EXPECT_EQ(pool->thread_count(), 0u);
}

// Starts the first `immediate` threads at once; holds later ones until release() (after which it
// starts every thread at once), or refuses them.
class ScriptedStarter {
 public:
  explicit ScriptedStarter(std::size_t immediate, bool refuse_later)
      : state_(std::make_shared<State>()) {
    state_->immediate = immediate;
    state_->refuse_later = refuse_later;
  }
  BlockingPool::ThreadStarter starter() const {
    return [state = state_](UniqueFunction body) {
      std::lock_guard lock(state->mutex);
      if (state->started < state->immediate || state->released) {
        ++state->started;
        std::thread(std::move(body)).detach();
      } else if (state->refuse_later) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      } else {
        state->held.push_back(std::move(body));
      }
    };
  }
  std::size_t held() const {
    std::lock_guard lock(state_->mutex);
    return state_->held.size();
  }
  void release() const {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
    for (UniqueFunction& body : state_->held) {
      std::thread(std::move(body)).detach();
    }
    state_->held.clear();
  }

 private:
  struct State {
    std::mutex mutex;
    std::size_t immediate = 0;
    std::size_t started = 0;
    bool refuse_later = false;
    bool released = false;
    std::vector<UniqueFunction> held;
  };
  std::shared_ptr<State> state_;
};

std::string fault_text(const auto& call) {
  try {
    call();
  } catch (const Fault& fault) {
    return fault.message().value_or("<none>");
  }
  return "<no fault>";
}

TEST(BlockingPool, RefusedThreadWithNoPoolThreadToTakeTheJobIsAFault) {
  ScriptedStarter starter(2, /*refuse_later=*/true);
  Runtime rt(2, 1s, starter.starter());
  std::atomic<bool> ran{false};
  EXPECT_EQ(fault_text([&] { (void)rt.spawn_blocking_job([&] { ran = true; }); }),
            "OS can't spawn worker thread: Resource temporarily unavailable");
  EXPECT_FALSE(ran.load());
  // The task threads are unaffected.
  EXPECT_EQ(rt.spawn_task([]() -> Task<int> { co_return 1; }()).wait().value(), 1);
}

TEST(BlockingPool, RefusedTaskThreadFailsTheBuild) {
  ScriptedStarter starter(1, /*refuse_later=*/true);
  EXPECT_EQ(fault_text([&] { Runtime rt(2, 1s, starter.starter()); }),
            "OS can't spawn worker thread: Resource temporarily unavailable");
}

TEST(BlockingPool, CancelDropsAJobThatHasNotStarted) {
  ScriptedStarter starter(1, /*refuse_later=*/false);
  Runtime rt(1, 1s, starter.starter());
  std::atomic<bool> ran{false};
  auto handle = rt.spawn_blocking_job([&] {
    ran = true;
    return 1;
  });
  ASSERT_EQ(starter.held(), 1u);  // the job waits for a thread that has not started
  handle.cancel();
  EXPECT_EQ(handle.wait().error().text(), "task " + std::to_string(handle.id()) + " was cancelled");
  starter.release();
  // A later job on the released thread runs; the cancelled one never does.
  EXPECT_EQ(rt.spawn_blocking_job([] { return 2; }).wait().value(), 2);
  EXPECT_FALSE(ran.load());
}

TEST(BlockingPool, CancelDoesNotStopAStartedJob) {
  Runtime rt(1, 1s);
  Event started, release;
  auto handle = rt.spawn_blocking_job([&] {
    started.set();
    release.wait();
    return 7;
  });
  ASSERT_TRUE(started.wait());
  handle.cancel();
  release.set();
  EXPECT_EQ(handle.wait().value(), 7);
}

TEST(BlockingPool, ShutdownReportsQueuedJobsAsCancelled) {
  ScriptedStarter starter(1, /*refuse_later=*/false);
  auto rt = std::make_unique<Runtime>(1, 1s, starter.starter());
  std::atomic<bool> ran{false};
  auto handle = rt->spawn_blocking_job([&] { ran = true; });
  std::thread destroyer([&] { rt.reset(); });
  EXPECT_EQ(handle.wait().error().kind, AbnormalEnd::Kind::Cancelled);
  starter.release();  // lets the held thread start, see the shutdown and leave
  destroyer.join();
  EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace veltrano::runtime
