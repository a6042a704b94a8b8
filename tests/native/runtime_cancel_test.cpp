// Cancelling tasks through their completion handles: suspended, running and finished.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace testing;
using namespace std::chrono_literals;

Task<int> hold_flag_and_await_job(Event* frame_destroyed, Event* job_release, Event* job_done,
                                  std::atomic<bool>* resumed) {
  DestroyFlag flag(frame_destroyed);
  auto job = spawn_blocking_job([=] {
    job_release->wait();
    job_done->set();
    return 1;
  });
  Outcome<int> outcome = co_await std::move(job);
  resumed->store(true);
  co_return outcome.value();
}

TEST(RuntimeCancel, CancellingASuspendedTaskDestroysItsFrameAndDetachesItsJob) {
  Runtime rt(2);
  Event frame_destroyed, job_release, job_done;
  std::atomic<bool> resumed{false};
  auto handle =
      rt.spawn_task(hold_flag_and_await_job(&frame_destroyed, &job_release, &job_done, &resumed));
  // Wait until the task is suspended on its job: the job exists only once the task ran.
  while (rt.pool_thread_count() < 3) {
    std::this_thread::yield();
  }
  handle.cancel();
  auto outcome = handle.wait();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().kind, AbnormalEnd::Kind::Cancelled);
  EXPECT_EQ(outcome.error().text(), "task " + std::to_string(handle.id()) + " was cancelled");
  EXPECT_TRUE(frame_destroyed.is_set());  // destroyed before the handle reported the end
  EXPECT_FALSE(job_done.is_set());
  job_release.set();
  EXPECT_TRUE(job_done.wait());  // the detached job still ran to its end
  EXPECT_FALSE(resumed.load());
}

Task<int> spin_then_sleep(std::atomic<bool>* spinning, std::atomic<bool>* stop,
                          std::atomic<bool>* after_sleep) {
  spinning->store(true);
  while (!stop->load()) {
  }
  co_await sleep_for(1ms);
  after_sleep->store(true);
  co_return 1;
}

TEST(RuntimeCancel, CancellingARunningTaskTakesEffectAtItsNextSuspension) {
  Runtime rt(1);
  std::atomic<bool> spinning{false}, stop{false}, after_sleep{false};
  auto handle = rt.spawn_task(spin_then_sleep(&spinning, &stop, &after_sleep));
  while (!spinning.load()) {
    std::this_thread::yield();
  }
  handle.cancel();
  stop.store(true);
  EXPECT_EQ(handle.wait().error().kind, AbnormalEnd::Kind::Cancelled);
  EXPECT_FALSE(after_sleep.load());
}

TEST(RuntimeCancel, CancelAfterTheEndKeepsTheValue) {
  Runtime rt(1);
  auto handle = rt.spawn_task(twice(4));
  while (!handle.finished()) {
    std::this_thread::yield();
  }
  handle.cancel();
  EXPECT_EQ(handle.wait().value(), 8);
}

}  // namespace
}  // namespace veltrano::runtime
