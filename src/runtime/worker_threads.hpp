// The task-thread count: "VELTRANO_WORKER_THREADS", else the usable processors (affinity set
// lowered to the control group's CPU quota). Thread-safe: functions of arguments and files only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include "runtime/cgroup_quota.hpp"

namespace veltrano::runtime {

inline constexpr char kWorkerThreadsVariable[] = "VELTRANO_WORKER_THREADS";

// Parses the raw value of "VELTRANO_WORKER_THREADS": ASCII digits with an optional leading "+",
// no overflow, not 0, and small enough that the blocking pool's limit (512 plus it) fits in
// size_t. Returns nullopt when the variable is unset. Throws Fault, with a text that
// starts with the quoted variable name, for a refused value.
std::optional<std::size_t> parse_worker_threads(std::optional<std::string_view> raw);

// The size of the CPU affinity set (the online processor count if that fails, else 1), lowered
// to cpu_quota_processors(root). Always at least 1.
std::size_t available_processors(const std::filesystem::path& root = "/");

// The number of task threads for the process-wide runtime: the parsed variable if set, else
// available_processors(). Throws Fault like parse_worker_threads.
std::size_t worker_thread_count();

}  // namespace veltrano::runtime
