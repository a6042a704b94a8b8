// Timers: sleeping tasks wake in deadline order, never early, and can be cancelled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace testing;
using namespace std::chrono_literals;

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
  EXPECT_EQ(handle.wait().error().kind, AbnormalEnd::Kind::Cancelled);
  EXPECT_FALSE(woke.load());
}

}  // namespace
}  // namespace veltrano::runtime
