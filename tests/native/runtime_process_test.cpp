// The process-wide runtime, each case in a fresh process (a re-executed death-test child): the
// build from "VELTRANO_WORKER_THREADS", its sticky failure, identifiers from 1, no threads before
// the first runtime() call, and forked children.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_check.hpp"
#include "runtime/runtime.hpp"
#include "runtime/worker_threads.hpp"
#include "runtime_test_util.hpp"

namespace veltrano::runtime {
namespace {

// ThreadSanitizer starts a helper thread of its own with the process's first new thread.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t kSanitizerThreads = 1;
#else
constexpr std::size_t kSanitizerThreads = 0;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

std::size_t thread_count() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

std::string fault_of_runtime() {
  try {
    (void)runtime();
  } catch (const Fault& fault) {
    return fault.message().value_or("<none>");
  }
  return "<built>";
}

// Re-executes the test binary for each case, so the counter and the once-only cell are fresh.
class ProcessRuntime : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

Task<std::uint64_t> ids_of_nested_spawns() {
  auto task = spawn_task([]() -> Task<int> { co_return 0; }());
  auto job = spawn_blocking_job([] { return 0; });
  co_return task.id() * 100 + job.id();
}

TEST_F(ProcessRuntime, BuildTakesIdsOneAndTwoAndSpawnsGetTheNext) {
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "2", 1);
        Runtime& rt = runtime();
        CHILD_CHECK(rt.task_thread_count() == 2);
        auto task = rt.spawn_task([]() -> Task<int> { co_return 0; }());
        CHILD_CHECK(task.id() == 3);
        auto job = rt.spawn_blocking_job([] { return 1; });
        CHILD_CHECK(job.id() == 4);
        CHILD_CHECK(task.wait().ok() && job.wait().ok());
        // Spawns from inside a task take the next ones, in order.
        auto nested = rt.spawn_task(ids_of_nested_spawns());
        CHILD_CHECK(nested.id() == 5);
        CHILD_CHECK(nested.wait().value() == 6 * 100 + 7);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ProcessRuntime, NoThreadBeforeTheFirstCallThenTheTaskThreads) {
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "2", 1);
        const std::size_t before = thread_count();
        CHILD_CHECK(before <= 1 + kSanitizerThreads);  // the main thread alone
        CHILD_CHECK(testing::threads_named("veltrano-worker") == 0);
        Runtime& rt = runtime();
        const std::size_t after = thread_count();  // task threads only; no pool thread yet
        CHILD_CHECK(after >= before + 2 && after <= before + 2 + kSanitizerThreads);
        CHILD_CHECK(rt.pool_thread_limit() == 514);
        for (int i = 0; i < 2000 && testing::threads_named("veltrano-worker") < 2; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        CHILD_CHECK(testing::threads_named("veltrano-worker") == 2);
        CHILD_CHECK(&runtime() == &rt);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ProcessRuntime, WithoutTheVariableTheProcessorsCount) {
  EXPECT_EXIT(
      {
        unsetenv("VELTRANO_WORKER_THREADS");
        CHILD_CHECK(runtime().task_thread_count() == available_processors());
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ProcessRuntime, ZeroFailsTheBuildAndEveryLaterCall) {
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "0", 1);
        const std::size_t before = thread_count();
        CHILD_CHECK(fault_of_runtime() == "\"VELTRANO_WORKER_THREADS\" cannot be set to 0");
        // Sticky: a valid value now changes nothing, the configuration mutex is poisoned.
        setenv("VELTRANO_WORKER_THREADS", "2", 1);
        const std::string again = fault_of_runtime();
        CHILD_CHECK(again.find("poisoned") != std::string::npos);
        CHILD_CHECK(fault_of_runtime() == again);
        CHILD_CHECK(thread_count() == before);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

Task<void> sleep_an_hour() { co_await sleep_for(std::chrono::hours(1)); }

TEST_F(ProcessRuntime, ExitWithWorkStillRunningIsClean) {
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "2", 1);
        Runtime& rt = runtime();
        auto sleeping = rt.spawn_task(sleep_an_hour());
        auto blocked =
            rt.spawn_blocking_job([] { std::this_thread::sleep_for(std::chrono::hours(1)); });
        // Static destruction runs while the workers sleep; nothing may tear them down.
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ProcessRuntime, ConcurrentFirstCallersShareOneBuild) {
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "3", 1);
        std::vector<Runtime*> seen(8, nullptr);
        std::vector<std::thread> callers;
        for (std::size_t i = 0; i < seen.size(); ++i) {
          callers.emplace_back([&seen, i] { seen[i] = &runtime(); });
        }
        for (auto& caller : callers) {
          caller.join();
        }
        for (Runtime* r : seen) {
          CHILD_CHECK(r == seen[0]);
        }
        CHILD_CHECK(testing::threads_named("veltrano-worker") <= 3);
        CHILD_CHECK(seen[0]->spawn_blocking_job([] { return 1; }).id() == 4);  // built once
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// A child, whether libc's fork ran its handlers or a raw fork system call skipped them, builds a
// runtime of its own while the parent's runtime is busy: the inherited one has no threads there,
// and its queue and pool state are the parent's at the moment of the fork.
class ForkedChild : public ProcessRuntime, public ::testing::WithParamInterface<bool> {};

TEST_P(ForkedChild, BuildsARuntimeOfItsOwn) {
  if (kSanitizerThreads > 0 || kAddressSanitizer) {
    // Seen under GCC 12's AddressSanitizer: the child's new threads wait for ever on the
    // allocator's lock, which a parent thread held at the fork.
    GTEST_SKIP() << "the sanitizer runtimes do not support threads after a multi-threaded fork";
  }
  const bool raw_fork = GetParam();
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "1", 1);
        Runtime& rt = runtime();
        // The parent's only task thread and a pool thread are busy when the fork comes.
        std::atomic<bool> release{false};
        auto busy_job = rt.spawn_blocking_job([&release] {
          while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          return 0;
        });
        auto busy_task = rt.spawn_task([](std::atomic<bool>* flag) -> Task<int> {
          while (!flag->load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          co_return 0;
        }(&release));
        const pid_t child = raw_fork ? static_cast<pid_t>(syscall(SYS_fork)) : fork();
        if (child == 0) {
          alarm(10);  // a stuck child ends by SIGALRM instead of hanging the test
          Runtime& own = runtime();
          CHILD_CHECK(&own != &rt);
          CHILD_CHECK(&runtime() == &own);
          CHILD_CHECK(own.spawn_blocking_job([] { return 3; }).wait().value() == 3);
          CHILD_CHECK(own.spawn_task([]() -> Task<int> { co_return 4; }()).wait().value() == 4);
          _exit(0);
        }
        CHILD_CHECK(child > 0);
        int status = 0;
        CHILD_CHECK(waitpid(child, &status, 0) == child);
        CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        release.store(true);
        CHILD_CHECK(&runtime() == &rt);  // the parent keeps its runtime
        CHILD_CHECK(busy_job.wait().value() == 0 && busy_task.wait().value() == 0);
        CHILD_CHECK(rt.spawn_blocking_job([] { return 2; }).wait().value() == 2);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(HowForked, ForkedChild, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "RawSystemCall" : "LibcFork";
                         });

// Children forked while another thread is building the runtime must neither hang on the
// configuration mutex nor get a half-built runtime: each one builds its own.
TEST_F(ProcessRuntime, ForkDuringTheFirstBuildNeverStrandsTheChild) {
  if (kSanitizerThreads > 0) {
    // A child forked before the build builds its own runtime, and ThreadSanitizer cannot start
    // threads in the child of a multi-threaded fork ("dup thread with used id").
    GTEST_SKIP() << "ThreadSanitizer does not support threads after a multi-threaded fork";
  }
  EXPECT_EXIT(
      {
        setenv("VELTRANO_WORKER_THREADS", "192", 1);  // a build slow enough for forks to land in
        std::atomic<bool> built{false};
        std::thread builder([&built] {
          (void)runtime();
          built.store(true);
        });
        int children = 0;
        do {
          const pid_t child = fork();
          if (child == 0) {
            alarm(20);  // a stuck child ends by SIGALRM instead of hanging the test
            setenv("VELTRANO_WORKER_THREADS", "1", 1);  // the child's own build, kept quick
            const std::string outcome = fault_of_runtime();
            _exit(outcome == "<built>" ? 0 : 1);
          }
          CHILD_CHECK(child > 0);
          int status = 0;
          CHILD_CHECK(waitpid(child, &status, 0) == child);
          CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
          ++children;
        } while (!built.load() && children < 200);
        builder.join();
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace veltrano::runtime
