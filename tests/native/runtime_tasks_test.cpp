// Tasks on a runtime of their own: values and faults through completion handles, identifiers,
// awaiting without blocking a thread, and detaching.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace testing;
using namespace std::chrono_literals;

Task<int> failing_child(std::string text) {
  co_await sleep_for(1ms);
  throw Fault(std::move(text));
}

Task<std::string> inline_children() {
  int sum = co_await twice(3);
  Task<int> lvalue = twice(4);
  sum += co_await lvalue;
  try {
    co_await failing_child("inner");
  } catch (const Fault& fault) {
    co_return std::to_string(sum) + " " + *fault.message();
  }
  co_return "not reached";
}

TEST(RuntimeTasks, InlineAwaitYieldsValuesAndRethrows) {
  Runtime rt(2);
  auto outcome = rt.spawn_task(inline_children()).wait();
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(outcome.value(), "14 inner");
}

Task<void> set_event(Event* event) {
  event->set();
  co_return;
}

TEST(RuntimeTasks, VoidTaskAndStartWithoutAwaiting) {
  Runtime rt(1);
  Event ran;
  auto handle = rt.spawn_task(set_event(&ran));
  EXPECT_TRUE(ran.wait());  // runs although nobody awaits the handle
  auto outcome = handle.wait();
  EXPECT_TRUE(outcome.ok());
  EXPECT_NO_THROW(outcome.value());
}

TEST(RuntimeTasks, BuildTakesOneIdPerTaskThreadAndSpawnsTakeTheNext) {
  const std::uint64_t before = next_task_id();
  Runtime rt(3);
  auto first = rt.spawn_task(twice(1));
  auto job = rt.spawn_blocking_job([] { return 1; });
  auto second = rt.spawn_task(twice(2));
  EXPECT_EQ(first.id(), before + 4);
  EXPECT_EQ(job.id(), before + 5);
  EXPECT_EQ(second.id(), before + 6);
}

Task<int> throws_fault() {
  throw Fault("boom \"quoted\"");
  co_return 0;
}
Task<int> throws_std() {
  throw std::logic_error("logic");
  co_return 0;
}
Task<int> throws_other() {
  throw 7;
  co_return 0;
}

TEST(RuntimeTasks, FaultEndsOnlyItsTaskAndShowsInTheHandle) {
  Runtime rt(2);
  auto a = rt.spawn_task(throws_fault());
  auto b = rt.spawn_task(throws_std());
  auto c = rt.spawn_task(throws_other());
  auto job = rt.spawn_blocking_job([]() -> int { throw Fault(); });
  const auto ids = std::vector<std::uint64_t>{a.id(), b.id(), c.id(), job.id()};
  EXPECT_EQ(a.wait().error().text(),
            "task " + std::to_string(ids[0]) + " panicked with message \"boom \\\"quoted\\\"\"");
  EXPECT_EQ(b.wait().error().text(),
            "task " + std::to_string(ids[1]) + " panicked with message \"logic\"");
  EXPECT_EQ(c.wait().error().text(), "task " + std::to_string(ids[2]) + " panicked");
  EXPECT_EQ(job.wait().error().text(), "task " + std::to_string(ids[3]) + " panicked");
  // Both kinds of thread go on serving.
  EXPECT_EQ(rt.spawn_task(twice(21)).wait().value(), 42);
  EXPECT_EQ(rt.spawn_blocking_job([] { return 5; }).wait().value(), 5);
}

// ---- awaiting handles from tasks ----

// With one task thread, A waits on a job that only B can release: if awaiting blocked the
// thread, B would never run.
Task<bool> wait_for_job_released_by_another_task(Event* released) {
  auto job = spawn_blocking_job([released] { return released->wait(); });
  Outcome<bool> outcome = co_await std::move(job);
  co_return outcome.value();
}

TEST(RuntimeTasks, AwaitingAHandleDoesNotBlockTheTaskThread) {
  Runtime rt(1);
  Event released;
  auto a = rt.spawn_task(wait_for_job_released_by_another_task(&released));
  auto b = rt.spawn_task(set_event(&released));
  EXPECT_TRUE(b.wait().ok());
  auto outcome = a.wait();
  ASSERT_TRUE(outcome.ok());
  EXPECT_TRUE(outcome.value());
}

Task<int> spawn_and_await_children() {
  auto child = spawn_task(twice(10));
  auto failing = spawn_task(throws_fault());
  auto job = spawn_blocking_job([] { return 1; });
  Outcome<int> c = co_await std::move(child);
  Outcome<int> f = co_await std::move(failing);
  Outcome<int> j = co_await std::move(job);
  co_return c.value() + (f.ok() ? 1000 : 0) + j.value();
}

TEST(RuntimeTasks, FreeSpawnHelpersUseTheDrivingRuntime) {
  Runtime rt(2);
  EXPECT_EQ(rt.spawn_task(spawn_and_await_children()).wait().value(), 21);
  EXPECT_THROW(spawn_task(twice(1)), Fault);  // not on a runtime thread
}

Task<std::string> blocking_wait_inside_a_task() {
  auto child = spawn_task(twice(1));
  try {
    (void)child.wait();
  } catch (const Fault& fault) {
    co_return *fault.message();
  }
  co_return "no fault";
}

TEST(RuntimeTasks, BlockingWaitOnATaskThreadIsRefused) {
  Runtime rt(1);
  EXPECT_EQ(rt.spawn_task(blocking_wait_inside_a_task()).wait().value(),
            "CompletionHandle::wait() would block a task thread; co_await the handle");
}

// ---- detaching ----

TEST(RuntimeTasks, DetachedJobRunsToItsEndAndItsResultIsDestroyed) {
  Runtime rt(1);
  Event release;
  Event result_destroyed;
  {
    auto handle = rt.spawn_blocking_job([&] {
      release.wait();
      return DestroyFlag(&result_destroyed);
    });
  }  // handle dropped: detached
  EXPECT_FALSE(result_destroyed.is_set());
  release.set();
  EXPECT_TRUE(result_destroyed.wait());
}

}  // namespace
}  // namespace veltrano::runtime
