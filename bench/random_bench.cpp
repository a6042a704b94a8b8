// The per-thread generator's fill (12-byte nonces, 32-byte salts) against libcrypto's RAND_bytes
// and the getrandom system call, side by side in one process; prints ns per call and ratios. The
// fill is timed twice: with its usual check for a forked child (the MADV_WIPEONFORK mark) and with
// the process id check it falls back to where the kernel refuses that advice.
// Usage: random_bench [--rounds N]
#include <openssl/rand.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "random/fill.hpp"
#include "random/fork_counter.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Mean ns per call over a batch of `calls`.
double ns_per_call(const std::function<void()>& call, int calls) {
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    call();
  }
  const std::chrono::duration<double, std::nano> spent = Clock::now() - start;
  return spent.count() / calls;
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  if (argc == 3 && std::strcmp(argv[1], "--rounds") == 0) {
    rounds = std::max(1, std::atoi(argv[2]));
  }
  namespace detail = veltrano::random::detail;
  if (!veltrano::random::install_fork_hooks().ok()) {
    std::fprintf(stderr, "the random source's fork hooks could not be registered\n");
    return 1;
  }
  // Null where this kernel refused MADV_WIPEONFORK: then both fill columns use the fallback.
  std::atomic<std::uint32_t>* const mark = detail::wipe_on_fork_mark.load();
  if (mark == nullptr) {
    std::printf("MADV_WIPEONFORK is refused here: both fill columns check the process id\n");
  }
  // Switches this process between the two checks, as the library would have armed them.
  const auto check_process_id = [mark](bool on) {
    detail::wipe_on_fork_mark.store(on ? nullptr : mark);
    detail::counted_pid.store(on || mark == nullptr ? ::getpid() : 0);
  };
  std::array<std::uint8_t, 32> out{};
  volatile std::uint8_t sink = 0;
  std::printf("%-6s %10s %12s %14s %14s %10s %10s %12s\n", "bytes", "fill ns", "fill pid ns",
              "RAND_bytes ns", "getrandom ns", "pid/fill", "fill/RAND", "fill/getrnd");
  for (std::size_t n : {std::size_t{12}, std::size_t{32}}) {
    // Interleaved per round so that drift on a noisy machine hits all four alike.
    std::vector<double> fill_ns, pid_ns, rand_ns, getrandom_ns;
    const auto draw = [&] {
      (void)veltrano::random::fill(out.data(), n);
      sink = out[0];
    };
    for (int round = 0; round < rounds; ++round) {
      fill_ns.push_back(ns_per_call(draw, 200000));
      check_process_id(true);
      pid_ns.push_back(ns_per_call(draw, 200000));
      check_process_id(false);
      rand_ns.push_back(ns_per_call(
          [&] {
            RAND_bytes(out.data(), static_cast<int>(n));
            sink = out[0];
          },
          200000));
      getrandom_ns.push_back(ns_per_call(
          [&] {
            (void)getrandom(out.data(), n, 0);
            sink = out[0];
          },
          20000));
    }
    const double fill = median(fill_ns);
    const double pid = median(pid_ns);
    const double rand = median(rand_ns);
    const double kernel = median(getrandom_ns);
    std::printf("%-6zu %10.1f %12.1f %14.1f %14.1f %10.2f %10.3f %12.3f\n", n, fill, pid, rand,
                kernel, pid / fill, fill / rand, fill / kernel);
  }
  (void)sink;
  return 0;
}
