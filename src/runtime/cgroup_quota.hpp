// The CPU quota of the process's control group, read from /proc and the cgroup file systems.
// Thread-safe: reads files only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

namespace veltrano::runtime {

// The CPU quota of the calling process's control group (version 1 or 2, found through
// <root>/proc/self/cgroup and <root>/proc/self/mountinfo, with every file read under `root`), in
// whole processors rounded down and at least 1; the lowest quota on the way up to the hierarchy's
// mount point counts. nullopt when no quota is set or nothing can be read.
std::optional<std::size_t> cpu_quota_processors(const std::filesystem::path& root);

}  // namespace veltrano::runtime
