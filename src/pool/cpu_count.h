// Pool sizing: how many processors this process may use, in pieces that tests can reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kwsieve::pool::detail {

// Affinity mask limited by the cgroup quota of this process, at least 1. Where neither
// exists (anything but Linux), std::thread::hardware_concurrency(), at least 1.
std::size_t default_thread_count();
// The CPUs in this process's affinity mask, ascending (empty if it cannot be read, and
// always outside Linux).
std::vector<int> affinity_cpus();
// An optional '+' and decimal digits, nothing else; saturates at UINT64_MAX.
std::optional<std::uint64_t> parse_count(const char* text);
// Processors granted by the cgroup CPU quota (rounded down; UINT64_MAX when none),
// given the text of /proc/self/cgroup and /proc/self/mountinfo and the directory
// where cgroup file systems are mounted (normally /sys/fs/cgroup). UINT64_MAX outside
// Linux.
std::uint64_t cgroup_cpu_limit(const std::string& root, std::string_view proc_cgroup,
                               std::string_view mountinfo);

}  // namespace kwsieve::pool::detail
