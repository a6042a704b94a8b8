// cancellable(): a region of a task that a cancel signal drops at its suspension point.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "runtime/cancel_signal.hpp"
#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace testing;
using namespace std::chrono_literals;

Task<int> await_slow_job(Event* frame_destroyed, Event* job_release, Event* job_result_destroyed,
                         Event* waiting) {
  DestroyFlag flag(frame_destroyed);
  auto job = spawn_blocking_job([=] {
    job_release->wait();
    return DestroyFlag(job_result_destroyed);
  });
  waiting->set();
  auto outcome = co_await std::move(job);
  co_return outcome.ok() ? 1 : 2;
}

Task<std::string> run_cancellable(Task<int> inner, CancelReceiver receiver) {
  std::optional<int> result = co_await cancellable(std::move(inner), std::move(receiver));
  co_return result ? "finished " + std::to_string(*result) : "cancelled";
}

TEST(RuntimeCancellable, SignalDropsInnerAtItsSuspensionPointAndTheTaskGoesOn) {
  Runtime rt(2);
  Event frame_destroyed, job_release, job_result_destroyed, waiting;
  auto [sender, receiver] = make_cancel_signal();
  auto handle = rt.spawn_task(run_cancellable(
      await_slow_job(&frame_destroyed, &job_release, &job_result_destroyed, &waiting),
      std::move(receiver)));
  ASSERT_TRUE(waiting.wait());
  sender.send();
  EXPECT_EQ(handle.wait().value(), "cancelled");
  EXPECT_TRUE(frame_destroyed.is_set());
  EXPECT_FALSE(job_result_destroyed.is_set());  // the job is still running, detached
  job_release.set();
  EXPECT_TRUE(job_result_destroyed.wait());  // its result is destroyed when it ends
}

TEST(RuntimeCancellable, DroppedSenderMeansNeverCancelled) {
  Runtime rt(2);
  Event frame_destroyed, job_release, job_result_destroyed, waiting;
  auto signal = make_cancel_signal();
  auto handle = rt.spawn_task(run_cancellable(
      await_slow_job(&frame_destroyed, &job_release, &job_result_destroyed, &waiting),
      std::move(signal.second)));
  ASSERT_TRUE(waiting.wait());
  {
    CancelSender dropped = std::move(signal.first);
  }
  job_release.set();
  EXPECT_EQ(handle.wait().value(), "finished 1");
}

Task<int> must_not_run(std::atomic<bool>* ran) {
  ran->store(true);
  co_return 1;
}

TEST(RuntimeCancellable, SignalSentBeforeTheStartSkipsInner) {
  Runtime rt(1);
  std::atomic<bool> ran{false};
  auto [sender, receiver] = make_cancel_signal();
  sender.send();
  EXPECT_EQ(receiver.state(), CancelReceiver::State::Sent);
  EXPECT_EQ(rt.spawn_task(run_cancellable(must_not_run(&ran), std::move(receiver))).wait().value(),
            "cancelled");
  EXPECT_FALSE(ran.load());
}

Task<int> nested_cancellable(CancelReceiver inner_receiver, Event* frame_destroyed,
                             Event* job_release, Event* job_result_destroyed, Event* waiting) {
  std::optional<int> r = co_await cancellable(
      await_slow_job(frame_destroyed, job_release, job_result_destroyed, waiting),
      std::move(inner_receiver));
  co_return r.value_or(-1) + 100;
}

// A task with two nested cancellable regions, each with its own signal; the inner one waits on a
// slow job. The runtime outlives the rest.
struct NestedRegions {
  Runtime rt{2};
  Event frame_destroyed, job_release, job_result_destroyed, waiting;
  std::pair<CancelSender, CancelReceiver> outer = make_cancel_signal();
  std::pair<CancelSender, CancelReceiver> inner = make_cancel_signal();
  CompletionHandle<std::string> handle;

  // Starts the task; true once the inner region waits on its job.
  bool start() {
    handle = rt.spawn_task(
        run_cancellable(nested_cancellable(std::move(inner.second), &frame_destroyed, &job_release,
                                           &job_result_destroyed, &waiting),
                        std::move(outer.second)));
    return waiting.wait();
  }
};

TEST(RuntimeCancellable, OuterSignalDropsNestedRegionsToo) {
  NestedRegions regions;
  ASSERT_TRUE(regions.start());
  regions.outer.first.send();
  EXPECT_EQ(regions.handle.wait().value(), "cancelled");
  EXPECT_TRUE(regions.frame_destroyed.is_set());
  regions.inner.first.send();  // its task is gone: ignored
  regions.job_release.set();
  EXPECT_TRUE(regions.job_result_destroyed.wait());
}

TEST(RuntimeCancellable, InnerSignalLeavesTheOuterRegionRunning) {
  NestedRegions regions;
  ASSERT_TRUE(regions.start());
  regions.inner.first.send();
  EXPECT_EQ(regions.handle.wait().value(), "finished 99");
  regions.job_release.set();
  EXPECT_TRUE(regions.job_result_destroyed.wait());
}

Task<bool> cancellable_void(CancelReceiver receiver, std::atomic<bool>* woke) {
  co_return co_await cancellable(sleep_long(woke), std::move(receiver));
}

TEST(RuntimeCancellable, VoidTaskReportsWhetherItFinished) {
  Runtime rt(1);
  std::atomic<bool> woke{false};
  auto [sender, receiver] = make_cancel_signal();
  auto handle = rt.spawn_task(cancellable_void(std::move(receiver), &woke));
  sender.send();  // whether or not the task has started sleeping yet
  EXPECT_FALSE(handle.wait().value());
  EXPECT_FALSE(woke.load());
}

}  // namespace
}  // namespace veltrano::runtime
