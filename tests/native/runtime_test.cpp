// Tasks on a runtime of their own: values and faults through completion handles, identifiers,
// awaiting without blocking a thread, cancellation, task locals, timers and the semaphore.
#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/async_semaphore.hpp"
#include "runtime/cancel_signal.hpp"
#include "runtime/quote_escaped.hpp"
#include "runtime/task_local.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using testing::Event;
using namespace std::chrono_literals;

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

// ---- completion texts ----

TEST(AbnormalEndText, TheThreeForms) {
  EXPECT_EQ((AbnormalEnd{AbnormalEnd::Kind::Cancelled, 5, std::nullopt}.text()),
            "task 5 was cancelled");
  EXPECT_EQ((AbnormalEnd{AbnormalEnd::Kind::Panicked, 5, "boom"}.text()),
            "task 5 panicked with message \"boom\"");
  EXPECT_EQ((AbnormalEnd{AbnormalEnd::Kind::Panicked, 18446744073709551615u, std::nullopt}.text()),
            "task 18446744073709551615 panicked");
}

TEST(AbnormalEndText, MessageIsQuotedAndEscaped) {
  EXPECT_EQ(quote_escaped(""), "\"\"");
  EXPECT_EQ(quote_escaped("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(quote_escaped("C:\\dir\\"), "\"C:\\\\dir\\\\\"");
  EXPECT_EQ(quote_escaped("a\nb\tc\rd"), "\"a\\nb\\tc\\rd\"");
  EXPECT_EQ(quote_escaped(std::string("nul\0end", 7)), "\"nul\\0end\"");
  EXPECT_EQ(quote_escaped("\x1b[0m\x01\x7f"), "\"\\u{1b}[0m\\u{1}\\u{7f}\"");
  EXPECT_EQ(quote_escaped("\xc2\x85"), "\"\\u{85}\"");  // C1 control NEL
  EXPECT_EQ(quote_escaped("it's caf\xc3\xa9 \xe2\x82\xac"), "\"it's caf\xc3\xa9 \xe2\x82\xac\"");
  EXPECT_EQ(quote_escaped("bad\xff!"), "\"bad\xef\xbf\xbd!\"");          // malformed byte -> U+FFFD
  EXPECT_EQ(quote_escaped("\xe2\x82"), "\"\xef\xbf\xbd\xef\xbf\xbd\"");  // truncated sequence
}

// ---- spawning and values ----

Task<int> twice(int x) { co_return 2 * x; }

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
  EXPECT_EQ(a.wait().abnormal().text(),
            "task " + std::to_string(ids[0]) + " panicked with message \"boom \\\"quoted\\\"\"");
  EXPECT_EQ(b.wait().abnormal().text(),
            "task " + std::to_string(ids[1]) + " panicked with message \"logic\"");
  EXPECT_EQ(c.wait().abnormal().text(), "task " + std::to_string(ids[2]) + " panicked");
  EXPECT_EQ(job.wait().abnormal().text(), "task " + std::to_string(ids[3]) + " panicked");
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

// ---- detaching and cancelling ----

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
  EXPECT_EQ(outcome.abnormal().kind, AbnormalEnd::Kind::Cancelled);
  EXPECT_EQ(outcome.abnormal().text(), "task " + std::to_string(handle.id()) + " was cancelled");
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
  EXPECT_EQ(handle.wait().abnormal().kind, AbnormalEnd::Kind::Cancelled);
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

// ---- cancellable ----

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
  { CancelSender dropped = std::move(signal.first); }
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

TEST(RuntimeCancellable, OuterSignalDropsNestedRegionsToo) {
  Runtime rt(2);
  Event frame_destroyed, job_release, job_result_destroyed, waiting;
  auto [outer_sender, outer_receiver] = make_cancel_signal();
  auto [inner_sender, inner_receiver] = make_cancel_signal();
  auto handle = rt.spawn_task(
      run_cancellable(nested_cancellable(std::move(inner_receiver), &frame_destroyed, &job_release,
                                         &job_result_destroyed, &waiting),
                      std::move(outer_receiver)));
  ASSERT_TRUE(waiting.wait());
  outer_sender.send();
  EXPECT_EQ(handle.wait().value(), "cancelled");
  EXPECT_TRUE(frame_destroyed.is_set());
  inner_sender.send();  // its task is gone: ignored
  job_release.set();
  EXPECT_TRUE(job_result_destroyed.wait());
}

TEST(RuntimeCancellable, InnerSignalLeavesTheOuterRegionRunning) {
  Runtime rt(2);
  Event frame_destroyed, job_release, job_result_destroyed, waiting;
  auto [outer_sender, outer_receiver] = make_cancel_signal();
  auto [inner_sender, inner_receiver] = make_cancel_signal();
  auto handle = rt.spawn_task(
      run_cancellable(nested_cancellable(std::move(inner_receiver), &frame_destroyed, &job_release,
                                         &job_result_destroyed, &waiting),
                      std::move(outer_receiver)));
  ASSERT_TRUE(waiting.wait());
  inner_sender.send();
  EXPECT_EQ(handle.wait().value(), "finished 99");
  job_release.set();
  EXPECT_TRUE(job_result_destroyed.wait());
}

Task<void> sleep_long(std::atomic<bool>* woke) {
  co_await sleep_for(10min);
  woke->store(true);
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

// ---- task locals ----

inline const TaskLocal<std::string> kName;
inline const TaskLocal<int> kNumber;

Task<std::string> read_locals_across_suspensions() {
  std::string seen;
  for (int i = 0; i < 4; ++i) {
    const std::string* name = kName.get();
    const int* number = kNumber.get();
    seen += (name ? *name : "-") + ":" + (number ? std::to_string(*number) : "-") + " ";
    co_await sleep_for(1ms);  // may resume on the other task thread
    co_await spawn_blocking_job([] { return 0; });
  }
  co_return seen;
}

Task<std::string> nested_scopes() {
  std::string seen = kName.get() == nullptr ? "unbound " : "bound ";
  seen += co_await kName.scope("outer", read_locals_across_suspensions());
  seen += co_await kName.scope(
      "outer", kNumber.scope(7, kName.scope("inner", read_locals_across_suspensions())));
  seen += co_await kNumber.scope(1, read_locals_across_suspensions());
  seen += kName.get() == nullptr ? "unbound" : "bound";
  co_return seen;
}

TEST(RuntimeTaskLocal, ScopesBindAcrossSuspensionsAndNest) {
  Runtime rt(2);
  EXPECT_EQ(rt.spawn_task(nested_scopes()).wait().value(),
            "unbound outer:- outer:- outer:- outer:- "
            "inner:7 inner:7 inner:7 inner:7 "
            "-:1 -:1 -:1 -:1 unbound");
  EXPECT_EQ(kName.get(), nullptr);  // off the task threads
}

Task<std::string> read_name_in_job_and_child() {
  auto job = spawn_blocking_job([] { return kName.get() == nullptr; });
  auto child = spawn_task([]() -> Task<bool> { co_return kName.get() == nullptr; }());
  const bool job_unbound = (co_await std::move(job)).value();
  const bool child_unbound = (co_await std::move(child)).value();
  co_return std::string(job_unbound ? "job:unbound " : "job:bound ") +
      (child_unbound ? "child:unbound" : "child:bound");
}

TEST(RuntimeTaskLocal, BindingsBelongToTheirTaskOnly) {
  Runtime rt(2);
  EXPECT_EQ(rt.spawn_task(kName.scope("x", read_name_in_job_and_child())).wait().value(),
            "job:unbound child:unbound");
}

// ---- timers ----

Task<void> sleep_and_record(std::chrono::milliseconds d, std::mutex* m, std::vector<int>* order) {
  co_await sleep_for(d);
  std::lock_guard lock(*m);
  order->push_back(static_cast<int>(d.count()));
}

TEST(RuntimeTimers, SleepsEndInDeadlineOrderAndNotEarly) {
  Runtime rt(2);
  std::mutex m;
  std::vector<int> order;
  const auto start = std::chrono::steady_clock::now();
  auto a = rt.spawn_task(sleep_and_record(60ms, &m, &order));
  auto b = rt.spawn_task(sleep_and_record(20ms, &m, &order));
  auto c = rt.spawn_task(sleep_and_record(40ms, &m, &order));
  EXPECT_TRUE(a.wait().ok());
  EXPECT_TRUE(b.wait().ok());
  EXPECT_TRUE(c.wait().ok());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
  EXPECT_EQ(order, (std::vector<int>{20, 40, 60}));
}

TEST(RuntimeTimers, CancellingASleepingTaskDropsIt) {
  Runtime rt(1);
  std::atomic<bool> woke{false};
  auto handle = rt.spawn_task(sleep_long(&woke));
  handle.cancel();
  EXPECT_EQ(handle.wait().abnormal().kind, AbnormalEnd::Kind::Cancelled);
  EXPECT_FALSE(woke.load());
}

// ---- semaphore ----

Task<void> take_permit(AsyncSemaphore* semaphore, int label, std::vector<int>* order, Event* hold) {
  AsyncSemaphore::Permit permit = co_await semaphore->acquire();
  order->push_back(label);  // one task thread: no lock needed
  if (hold != nullptr) {
    co_await spawn_blocking_job([hold] { return hold->wait(); });
  }
}

Task<std::string> cancellable_permit(AsyncSemaphore* semaphore, CancelReceiver receiver,
                                     std::vector<int>* order) {
  std::optional<bool> r = co_await cancellable(
      [](AsyncSemaphore* s, std::vector<int>* o) -> Task<bool> {
        AsyncSemaphore::Permit permit = co_await s->acquire();
        o->push_back(99);
        co_return true;
      }(semaphore, order),
      std::move(receiver));
  co_return r ? "acquired" : "cancelled";
}

TEST(RuntimeSemaphore, WaitersAreServedFifoAndACancelledWaiterLeavesTheQueue) {
  Runtime rt(1);  // one task thread: spawn order is queue order
  AsyncSemaphore semaphore(1);
  std::vector<int> order;
  Event hold;
  auto [sender, receiver] = make_cancel_signal();
  auto holder = rt.spawn_task(take_permit(&semaphore, 1, &order, &hold));
  auto cancelled = rt.spawn_task(cancellable_permit(&semaphore, std::move(receiver), &order));
  auto second = rt.spawn_task(take_permit(&semaphore, 2, &order, nullptr));
  auto third = rt.spawn_task(take_permit(&semaphore, 3, &order, nullptr));
  // A task that runs after the three above has queued them behind the holder.
  EXPECT_TRUE(rt.spawn_task(twice(0)).wait().ok());
  sender.send();
  EXPECT_EQ(cancelled.wait().value(), "cancelled");
  hold.set();
  EXPECT_TRUE(holder.wait().ok());
  EXPECT_TRUE(second.wait().ok());
  EXPECT_TRUE(third.wait().ok());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(semaphore.available(), 1u);
}

}  // namespace
}  // namespace veltrano::runtime
