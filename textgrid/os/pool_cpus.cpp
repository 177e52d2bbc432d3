// How many CPUs the process may use: the affinity mask, capped by a
// control-group CPU quota. Containers commonly grant a quota of fewer CPUs
// than the mask shows; a pool sized by the mask alone would then be
// throttled rather than parallel.
//
// The count is asked for by every call that may go parallel, thousands of
// times a second when a caller writes or reads many small files, so it must
// cost next to nothing: the mask, which a user may change at any moment
// (taskset), is one system call; the quota, which changes only when the
// container does and takes a dozen calls to find, is kept for a second.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "textgrid/base/ascii.h"
#include "textgrid/base/file_descriptor.h"
#include "textgrid/os/pool.h"
#include "textgrid/os/pool_detail.h"

namespace textgrid {

namespace {

// Pseudo-files report a size of 0, so read until end of file instead of
// asking for the size first.
std::optional<std::string> read_small_file(const std::string& path) {
    const detail::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buf, sizeof buf);
        if (got > 0) {
            text.append(buf, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return text;
}

template <class Int>
std::optional<Int> parse_whole(std::string_view s) {
    Int value{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return value;
}

std::optional<std::size_t> quota_over_period(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const auto q = static_cast<unsigned long long>(quota);
    const auto p = static_cast<unsigned long long>(period);
    return static_cast<std::size_t>(std::max<unsigned long long>(1, (q + p - 1) / p));
}

std::optional<std::size_t> min_limit(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as octal
// escapes such as "\040".
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && s.size() - i >= 4) {
            unsigned value = 0;
            bool octal = true;
            for (std::size_t k = 1; k <= 3; ++k) {
                const char c = s[i + k];
                if (c < '0' || c > '7') octal = false;
                value = value * 8 + static_cast<unsigned>(c - '0');
            }
            if (octal && value < 256) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

bool has_token(std::string_view list, std::string_view token) {
    for (std::string_view t : split(list, ',')) {
        if (t == token) return true;
    }
    return false;
}

// The directory of the process's group: its path from /proc/self/cgroup,
// placed under the mount point. A path outside the mounted subtree (the
// mount shows a group the process is not in) falls back to the mount point.
std::string group_dir(const detail::Hierarchy& h, std::string_view path) {
    std::string_view root = h.root;
    if (root == "/") root = {};
    if (path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/')) {
        path.remove_prefix(root.size());
    } else {
        path = {};
    }
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return h.mount + std::string(path);
}

detail::CgroupMounts find_cgroup_mounts() {
    if (const auto table = read_small_file("/proc/self/mountinfo")) return detail::parse_cgroup_mounts(*table);
    return {detail::Hierarchy{"/sys/fs/cgroup", "/"}, detail::Hierarchy{"/sys/fs/cgroup/cpu", "/"}};
}

std::optional<std::size_t> quota_cpus() {
    const auto groups = read_small_file("/proc/self/cgroup");
    if (!groups) return std::nullopt;
    // Quotas and group membership change while a process runs; where the
    // hierarchies are mounted does not, so the mount table is read once.
    static const detail::CgroupMounts mounts = find_cgroup_mounts();
    std::optional<std::size_t> limit;
    for (const detail::GroupDir& g : detail::group_dirs(mounts, *groups)) {
        limit = min_limit(limit, detail::cgroup_limit(g.mount, g.dir, g.v2));
    }
    return limit;
}

// sched_getaffinity fails with EINVAL when the set is smaller than the
// kernel's CPU mask, so grow the set until it fits (machines with more than
// 1024 CPUs exist). The size that fitted is kept, so that every later call
// is the one system call.
std::atomic<std::size_t> g_affinity_set_cpus{1024};

std::optional<std::size_t> affinity_cpus() {
    for (std::size_t count = g_affinity_set_cpus.load(std::memory_order_relaxed); count <= (std::size_t{1} << 22);
         count *= 2) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (set == nullptr) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(bytes, set);
        if (::sched_getaffinity(0, bytes, set) == 0) {
            const int n = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            g_affinity_set_cpus.store(count, std::memory_order_relaxed);
            return n > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(n)) : std::nullopt;
        }
        const int err = errno;
        CPU_FREE(set);
        if (err != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

// The quota as last read (kNoQuota: none set; kUnread: not read yet), and
// when it is due to be read again, in nanoseconds of the steady clock,
// which is read without a system call (vDSO).
constexpr std::int64_t kQuotaKeptNs = 1'000'000'000;
constexpr std::size_t kNoQuota = 0;
constexpr std::size_t kUnread = static_cast<std::size_t>(-1);
std::atomic<std::int64_t> g_quota_due{0};
std::atomic<std::size_t> g_quota{kUnread};
std::atomic<std::size_t> g_quota_reads{0};

std::int64_t steady_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<std::size_t> kept_quota_cpus() {
    const std::int64_t now = steady_ns();
    std::int64_t due = g_quota_due.load(std::memory_order_acquire);
    std::size_t quota = g_quota.load(std::memory_order_acquire);
    // Once due, one caller claims the reading and the others go on with the
    // value kept. No lock: a child forked while some thread of its parent
    // was reading must not wait for that thread.
    if (quota == kUnread ||
        (now >= due && g_quota_due.compare_exchange_strong(due, now + kQuotaKeptNs, std::memory_order_acq_rel))) {
        const bool first = quota == kUnread;
        quota = quota_cpus().value_or(kNoQuota);
        g_quota.store(quota, std::memory_order_release);
        if (first) g_quota_due.store(now + kQuotaKeptNs, std::memory_order_release);
        g_quota_reads.fetch_add(1, std::memory_order_relaxed);
    }
    return quota == kNoQuota ? std::nullopt : std::optional<std::size_t>(quota);
}

}  // namespace

namespace detail {

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
    const auto fields = split(trim_ascii(text), ' ');
    if (fields.empty() || fields[0] == "max") return std::nullopt;
    const auto quota = parse_whole<long long>(fields[0]);
    // The period may be left out; the kernel's default is 100 ms.
    const auto period = fields.size() >= 2 ? parse_whole<long long>(fields[1]) : std::optional<long long>(100000);
    if (!quota || !period) return std::nullopt;
    return quota_over_period(*quota, *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
    const auto q = parse_whole<long long>(trim_ascii(quota));
    const auto p = parse_whole<long long>(trim_ascii(period));
    if (!q || !p) return std::nullopt;
    return quota_over_period(*q, *p);
}

std::optional<std::size_t> cgroup_limit(const std::string& mount, const std::string& dir, bool v2) {
    std::optional<std::size_t> limit;
    std::string at = dir;
    for (;;) {
        if (v2) {
            if (const auto text = read_small_file(at + "/cpu.max")) limit = min_limit(limit, parse_cpu_max(*text));
        } else {
            // Most groups set no quota (-1); skip the period file then.
            const auto quota = read_small_file(at + "/cpu.cfs_quota_us");
            if (quota && trim_ascii(*quota) != "-1") {
                if (const auto period = read_small_file(at + "/cpu.cfs_period_us")) {
                    limit = min_limit(limit, parse_cfs_quota(*quota, *period));
                }
            }
        }
        if (at.size() <= mount.size()) break;
        const std::size_t slash = at.rfind('/');
        if (slash == std::string::npos || slash < mount.size()) break;
        at.resize(slash);
    }
    return limit;
}

// Hybrid systems mount v2 somewhere other than /sys/fs/cgroup (often
// /sys/fs/cgroup/unified) and v1 controllers beside it, so the mount table,
// not a fixed path, says where each hierarchy lives.
CgroupMounts parse_cgroup_mounts(std::string_view mountinfo) {
    CgroupMounts mounts;
    for (std::string_view line : split(mountinfo, '\n')) {
        // "id parent major:minor root mount-point options [tags...] - fstype source super-options"
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto head = split(line.substr(0, dash), ' ');
        const auto tail = split(line.substr(dash + 3), ' ');
        if (head.size() < 5 || tail.size() < 3) continue;
        Hierarchy h{unescape_mount_path(head[4]), unescape_mount_path(head[3])};
        if (tail[0] == "cgroup2" && !mounts.v2) {
            mounts.v2 = std::move(h);
        } else if (tail[0] == "cgroup" && !mounts.v1_cpu && has_token(tail[2], "cpu")) {
            mounts.v1_cpu = std::move(h);
        }
    }
    return mounts;
}

std::vector<GroupDir> group_dirs(const CgroupMounts& mounts, std::string_view proc_cgroup) {
    std::vector<GroupDir> dirs;
    for (std::string_view line : split(proc_cgroup, '\n')) {
        // "hierarchy-id:controllers:path"; v2 is "0::path".
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty() && mounts.v2) {
            dirs.push_back({mounts.v2->mount, group_dir(*mounts.v2, path), true});
        } else if (has_token(controllers, "cpu") && mounts.v1_cpu) {
            dirs.push_back({mounts.v1_cpu->mount, group_dir(*mounts.v1_cpu, path), false});
        }
    }
    return dirs;
}

std::optional<std::size_t> parse_thread_count(const char* value) {
    if (value == nullptr) return std::nullopt;
    // from_chars on an unsigned type takes digits only (no sign, no blanks),
    // and parse_whole insists on all of the text.
    const auto n = parse_whole<std::size_t>(value);
    if (!n || *n == 0) return std::nullopt;
    return n;
}

std::size_t pool_size_from_env() {
    if (const auto n = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) return *n;
    if (const auto n = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS"))) return *n;
    return read_available_cpus();
}

std::size_t quota_reads() noexcept { return g_quota_reads.load(std::memory_order_relaxed); }

std::size_t read_available_cpus() noexcept {
    try {
        std::optional<std::size_t> cpus = affinity_cpus();
        if (!cpus) {
            const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
            cpus = online > 0 ? static_cast<std::size_t>(online) : 1;
        }
        cpus = min_limit(cpus, kept_quota_cpus());
        return std::max<std::size_t>(1, *cpus);
    } catch (...) {
        // Only allocation can fail here; one CPU is always a safe answer.
        return 1;
    }
}

}  // namespace detail

}  // namespace textgrid
