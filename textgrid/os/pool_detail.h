// Internals of the worker pool and the CPU count, exposed for the pool's own
// tests. Nothing here is part of the library's contract.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace textgrid::detail {

// available_cpus() as read from the system, bypassing the count that
// parallel_for hands to its pieces. At least 1; never throws.
std::size_t read_available_cpus() noexcept;

// How often this process has read the control-group quota files.
std::size_t quota_reads() noexcept;

// The CPU limit a control-group v2 "cpu.max" text sets: "max 100000" (no
// quota) and anything unparsable give nullopt; "150000 100000" gives 2
// (quota over period, rounded up, at least 1).
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// The same for a v1 pair cpu.cfs_quota_us / cpu.cfs_period_us; a quota of -1
// means none.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

struct Hierarchy {
    std::string mount;  // where the hierarchy is mounted
    std::string root;   // which of its groups the mount shows there
};

struct CgroupMounts {
    std::optional<Hierarchy> v2;
    std::optional<Hierarchy> v1_cpu;  // the v1 hierarchy with the cpu controller
};

// The first v2 hierarchy and the first v1 hierarchy with the cpu controller
// in a /proc/self/mountinfo text.
CgroupMounts parse_cgroup_mounts(std::string_view mountinfo);

struct GroupDir {
    std::string mount;
    std::string dir;  // the process's group, under mount
    bool v2;
};

// The groups of a /proc/self/cgroup text whose CPU limits apply, as
// directories under the mounts.
std::vector<GroupDir> group_dirs(const CgroupMounts& mounts, std::string_view proc_cgroup);

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
