// AsyncSemaphore: waiting tasks are served in order, and a cancelled waiter leaves the queue.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "runtime/async_semaphore.hpp"
#include "runtime/cancel_signal.hpp"
#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace testing;

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
