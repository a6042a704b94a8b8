// Worker runtime costs: spawn + join of an empty task and of an empty blocking job (joined by a
// plain thread and by a task), and how soon a blocking job submitted from a task starts running.
// Prints a markdown table in microseconds. Uses the process-wide runtime, so
// VELTRANO_WORKER_THREADS applies.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/runtime.hpp"

namespace {

using veltrano::runtime::CompletionHandle;
using veltrano::runtime::Runtime;
using veltrano::runtime::Task;
using Clock = std::chrono::steady_clock;

constexpr int kWarmup = 2000;
constexpr int kSamples = 20000;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Summary {
  double median;
  double p90;
  double mean;
};

Summary summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  double total = 0;
  for (double s : samples) {
    total += s;
  }
  return Summary{samples[samples.size() / 2], samples[samples.size() * 9 / 10],
                 total / static_cast<double>(samples.size())};
}

Task<void> empty_task() { co_return; }

// Runs `measure_one` kWarmup + kSamples times; keeps the last kSamples.
template <typename F>
std::vector<double> sample(F measure_one) {
  std::vector<double> samples;
  samples.reserve(kSamples);
  for (int i = 0; i < kWarmup + kSamples; ++i) {
    const double us = measure_one();
    if (i >= kWarmup) {
      samples.push_back(us);
    }
  }
  return samples;
}

// The same measurements made by a task: joins suspend the task instead of blocking a thread.
Task<std::vector<double>> sample_in_task(int kind) {
  std::vector<double> samples;
  samples.reserve(kSamples);
  for (int i = 0; i < kWarmup + kSamples; ++i) {
    double us = 0;
    if (kind == 0) {
      const auto start = Clock::now();
      co_await veltrano::runtime::spawn_task(empty_task());
      us = micros(Clock::now() - start);
    } else if (kind == 1) {
      const auto start = Clock::now();
      co_await veltrano::runtime::spawn_blocking_job([] {});
      us = micros(Clock::now() - start);
    } else {
      Clock::time_point started;
      const auto submitted = Clock::now();
      co_await veltrano::runtime::spawn_blocking_job([&started] { started = Clock::now(); });
      us = micros(started - submitted);
    }
    if (i >= kWarmup) {
      samples.push_back(us);
    }
  }
  co_return samples;
}

void row(const char* what, const Summary& s, const char* target) {
  std::printf("| %s | %.2f | %.2f | %.2f | %s |\n", what, s.median, s.p90, s.mean, target);
}

}  // namespace

int main() {
  Runtime& rt = veltrano::runtime::runtime();

  const Summary task_from_thread = summarise(sample([&] {
    const auto start = Clock::now();
    (void)rt.spawn_task(empty_task()).wait();
    return micros(Clock::now() - start);
  }));
  const Summary job_from_thread = summarise(sample([&] {
    const auto start = Clock::now();
    (void)rt.spawn_blocking_job([] {}).wait();
    return micros(Clock::now() - start);
  }));
  const auto in_task = [&](int kind) {
    return summarise(rt.spawn_task(sample_in_task(kind)).wait().value());
  };
  const Summary task_from_task = in_task(0);
  const Summary job_from_task = in_task(1);
  const Summary job_start_latency = in_task(2);

  std::printf("Worker runtime, %zu task threads, %d samples each (after %d warm-up rounds)\n\n",
              rt.task_thread_count(), kSamples, kWarmup);
  std::printf("| measurement | median (µs) | p90 (µs) | mean (µs) | target |\n");
  std::printf("|---|---|---|---|---|\n");
  row("spawn + join empty task, joined by a task (co_await)", task_from_task, "< 5");
  row("spawn + join empty task, joined by a plain thread (wait)", task_from_thread, "");
  row("spawn + join empty blocking job, joined by a task (co_await)", job_from_task, "< 20");
  row("spawn + join empty blocking job, joined by a plain thread (wait)", job_from_thread, "");
  row("blocking job submitted from a task: submit to job start", job_start_latency, "");
  return 0;
}
