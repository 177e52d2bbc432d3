// Internals of the worker pool and the CPU count, exposed for the pool's own
// tests. Nothing here is part of the library's contract.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace textgrid::detail {

// available_cpus() as read from the system, bypassing the count that
// parallel_for hands to its pieces. At least 1; never throws.
std::size_t read_available_cpus() noexcept;

// The CPU limit a control-group v2 "cpu.max" text sets: "max 100000" (no
// quota) and anything unparsable give nullopt; "150000 100000" gives 2
// (quota over period, rounded up, at least 1).
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// The same for a v1 pair cpu.cfs_quota_us / cpu.cfs_period_us; a quota of -1
// means none.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The smallest limit set on the control group at directory dir or on any of
// its ancestors up to and including the hierarchy's mount point (dir must
// lie under mount). v2 reads cpu.max, v1 the cfs pair. nullopt when no level
// sets one.
std::optional<std::size_t> cgroup_limit(const std::string& mount, const std::string& dir, bool v2);

// The thread count an environment value asks for: a positive decimal
// integer (digits only, nothing around them), else nullopt.
std::optional<std::size_t> parse_thread_count(const char* value);

// The pool's size: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, each only when
// it holds a positive decimal integer; else available_cpus().
std::size_t pool_size_from_env();

// Workers of the current process's pool; 0 while none has been created.
std::size_t pool_worker_count() noexcept;

}  // namespace textgrid::detail
