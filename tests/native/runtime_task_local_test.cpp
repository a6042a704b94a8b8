// Task locals: values bound for a scope of one task, across suspensions and task threads.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "runtime/runtime.hpp"
#include "runtime/task_local.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace veltrano::runtime
