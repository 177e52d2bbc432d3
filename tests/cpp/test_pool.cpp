// The worker pool, the splitting rule and the CPU count. Runs as one
// process: the first case needs a process that has not used the pool yet,
// and the environment and fork cases run in forked children.
#include <dirent.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/cpp/check.h"
#include "textgrid/os/pool.h"
#include "textgrid/os/pool_detail.h"
#include "textgrid/base/result.h"

using textgrid::parallel_for;
namespace detail = textgrid::detail;

namespace {

using test_support::failures;

std::size_t thread_count() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// Runs fn in a forked child that must exit 0 within the time limit (a hang
// is a failure, not a stuck test run).
bool in_child(const char* what, void (*fn)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        failures = 0;
        fn();
        _exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok) std::fprintf(stderr, "child case failed: %s (status %d)\n", what, status);
    return ok;
}

struct Record {
    std::vector<std::atomic<int>> hits;
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    std::set<std::thread::id> threads;
    explicit Record(std::size_t n) : hits(n) {}
};

// Every index once, pieces contiguous; returns the pieces seen.
Record& cover(Record& r, std::size_t n, std::size_t cpus) {
    parallel_for(n, cpus, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) r.hits[i].fetch_add(1);
        std::lock_guard g(r.mutex);
        r.pieces.emplace_back(begin, end);
        r.threads.insert(std::this_thread::get_id());
    });
    return r;
}

bool each_once(const Record& r) {
    for (const auto& h : r.hits) {
        if (h.load() != 1) return false;
    }
    return true;
}

void serial_below_threshold_starts_no_thread() {
    const std::size_t before = thread_count();
    for (std::size_t cpus : {1u, 2u, 8u}) {
        for (std::size_t n : {std::size_t{1}, 10 * cpus - 1}) {
            Record r(n);
            cover(r, n, cpus);
            CHECK(each_once(r));
            CHECK(r.pieces.size() == 1 && r.pieces[0] == std::make_pair(std::size_t{0}, n));
            CHECK(r.threads.size() == 1 && *r.threads.begin() == std::this_thread::get_id());
        }
    }
    Record none(0);
    cover(none, 0, 1);
    CHECK(none.pieces.empty());
    // One task runs in place; none runs nothing.
    std::vector<std::thread::id> ran;
    textgrid::run_tasks(1, 4, [&](std::size_t i) {
        ran.push_back(i == 0 ? std::this_thread::get_id() : std::thread::id());
    });
    textgrid::run_tasks(0, 4, [&](std::size_t) { ran.emplace_back(); });
    CHECK(ran == std::vector<std::thread::id>{std::this_thread::get_id()});
    CHECK(detail::pool_worker_count() == 0);
    CHECK(thread_count() == before);
}

void covers_every_index_once() {
    for (std::size_t cpus : {1u, 2u, 3u, 7u, 64u}) {
        for (std::size_t n : {10 * cpus, 10 * cpus + 1, std::size_t{39}, std::size_t{40}, std::size_t{41},
                              std::size_t{1000}, std::size_t{5003}, std::size_t{100000}}) {
            if (n < 10 * cpus) continue;
            Record r(n);
            cover(r, n, cpus);
            CHECK(each_once(r));
            for (const auto& [b, e] : r.pieces) CHECK(e - b >= std::min<std::size_t>(n, textgrid::kMinPiece));
            if (n >= 2 * textgrid::kMinPiece) CHECK(r.pieces.size() >= 2);
        }
    }
    CHECK(detail::pool_worker_count() >= 1);
}

void pool_runs_pieces_on_several_threads() {
    Record r(4000);
    parallel_for(4000, 1, [&](std::size_t begin, std::size_t end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard g(r.mutex);
        r.threads.insert(std::this_thread::get_id());
        (void)begin, (void)end;
    });
    CHECK(r.threads.size() >= 2);
}

void nesting_does_not_deadlock() {
    // Three levels, every level on the pool, more outer pieces than threads:
    // workers end up waiting inside pieces while other pieces are queued.
    constexpr std::size_t outer = 100, inner = 300, innermost = 40;
    std::vector<std::atomic<int>> hits(outer * inner);
    parallel_for(outer, 1, [&](std::size_t b0, std::size_t e0) {
        for (std::size_t i = b0; i < e0; ++i) {
            parallel_for(inner, 1, [&](std::size_t b1, std::size_t e1) {
                for (std::size_t j = b1; j < e1; ++j) {
                    std::atomic<std::size_t> sum{0};
                    parallel_for(innermost, 2, [&](std::size_t b2, std::size_t e2) { sum += e2 - b2; });
                    if (sum == innermost) hits[i * inner + j].fetch_add(1);
                }
            });
        }
    });
    bool all = true;
    for (const auto& h : hits) all = all && h.load() == 1;
    CHECK(all);
}

void failure_skips_unstarted_pieces_and_waits_for_running_ones() {
    std::atomic<int> started{0}, finished{0};
    std::optional<std::string> caught;
    try {
        parallel_for(100000, 1, [&](std::size_t begin, std::size_t) {
            if (begin == 0) throw textgrid::FatalReadError("Unknown tier class: \"Bogus\"");
            ++started;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ++finished;
        });
    } catch (const textgrid::FatalReadError& e) {
        caught = e.what();
    }
    CHECK(caught == std::optional<std::string>("Unknown tier class: \"Bogus\""));
    CHECK(started.load() == finished.load());
    // Far fewer than the pieces there were: the rest were skipped.
    CHECK(started.load() < 16);

    // From a nested step on a worker up to the outermost caller; the first
    // failure wins when every piece fails.
    bool nested = false;
    try {
        parallel_for(400, 1, [&](std::size_t, std::size_t) {
            parallel_for(400, 1, [&](std::size_t, std::size_t) { throw std::runtime_error("inner"); });
        });
    } catch (const std::runtime_error& e) {
        nested = std::string(e.what()) == "inner";
    }
    CHECK(nested);

    // The pool is intact afterwards.
    Record r(5000);
    CHECK(each_once(cover(r, 5000, 2)));
}

void ordered_hands_over_finished_ranges_in_order() {
    for (const auto& [n, cpus] : {std::pair<std::size_t, std::size_t>{7, 1}, {20, 2}, {5003, 1}, {100000, 2}}) {
        std::vector<std::atomic<int>> made(n);
        std::size_t next = 0;
        bool in_order = true, finished = true, on_caller = true;
        const auto caller = std::this_thread::get_id();
        const bool completed = textgrid::parallel_for_ordered(
            n, cpus,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) made[i].fetch_add(1);
            },
            [&](std::size_t begin, std::size_t end) {
                in_order = in_order && begin == next && end > begin;
                for (std::size_t i = begin; i < end; ++i) finished = finished && made[i].load() == 1;
                on_caller = on_caller && std::this_thread::get_id() == caller;
                next = end;
                return true;
            });
        CHECK(completed && in_order && finished && on_caller && next == n);
    }

    // Stopping from ready: the call says so, and most of a long range is
    // never made.
    std::atomic<std::size_t> made{0};
    const bool completed = textgrid::parallel_for_ordered(
        1000000, 1,
        [&](std::size_t begin, std::size_t end) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            made += end - begin;
        },
        [&](std::size_t, std::size_t) { return false; });
    CHECK(!completed);
    CHECK(made.load() < 500000);

    bool rethrown = false;
    try {
        (void)textgrid::parallel_for_ordered(
            1000, 1, [](std::size_t, std::size_t) {},
            [](std::size_t begin, std::size_t) -> bool {
                if (begin != 0) throw std::runtime_error("consumer");
                return true;
            });
    } catch (const std::runtime_error& e) {
        rethrown = std::string(e.what()) == "consumer";
    }
    CHECK(rethrown);
}

void tasks_run_once_each_and_at_once() {
    // Two tasks that wait for each other end in time only if both run at
    // once: two tasks are never kept together on one thread.
    std::atomic<int> arrived{0};
    std::atomic<bool> met{true};
    textgrid::run_tasks(2, 2, [&](std::size_t) {
        ++arrived;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        if (arrived.load() < 2) met = false;
    });
    CHECK(met.load());

    // Every index once, each task sees the given count, more tasks than
    // threads, and nested both ways with parallel_for without deadlock.
    constexpr std::size_t outer = 60, tasks = 5;
    std::vector<std::atomic<int>> hits(outer * tasks);
    std::atomic<bool> counted{true};
    parallel_for(outer, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            textgrid::run_tasks(tasks, 3, [&, i](std::size_t k) {
                if (textgrid::available_cpus() != 3) counted = false;
                std::atomic<std::size_t> sum{0};
                parallel_for(400, 3, [&](std::size_t b2, std::size_t e2) { sum += e2 - b2; });
                if (sum == 400) hits[i * tasks + k].fetch_add(1);
            });
        }
    });
    bool all = true;
    for (const auto& h : hits) all = all && h.load() == 1;
    CHECK(all && counted.load());

    bool rethrown = false;
    try {
        textgrid::run_tasks(4, 2, [](std::size_t k) {
            if (k == 2) throw textgrid::FatalReadError("task 2");
        });
    } catch (const textgrid::FatalReadError& e) {
        rethrown = e.message() == "task 2";
    }
    CHECK(rethrown);
}

void pieces_see_the_operation_cpu_count() {
    std::atomic<bool> all{true};
    // One case below the threshold, one on the pool, both with a count the
    // machine does not have.
    for (const auto& [n, cpus] : {std::pair<std::size_t, std::size_t>{5, 7}, {5000, 3}}) {
        parallel_for(n, cpus, [&, want = cpus](std::size_t, std::size_t) {
            if (textgrid::available_cpus() != want) all = false;
        });
    }
    CHECK(all.load());
    CHECK(textgrid::available_cpus() == detail::read_available_cpus());
}

void available_cpus_follows_affinity() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CHECK(sched_getaffinity(0, sizeof set, &set) == 0);
    const auto mask = static_cast<std::size_t>(CPU_COUNT(&set));
    CHECK(textgrid::available_cpus() >= 1 && textgrid::available_cpus() <= mask);
    CHECK(in_child("pinned to one CPU", [] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
        CHECK(textgrid::available_cpus() == 1);
    }));
}

void quota_is_kept_between_calls() {
    // Every write of a small file asks for the count: the quota files (a
    // dozen system calls) are read at most once a second, however often.
    (void)textgrid::available_cpus();
    const std::size_t before = detail::quota_reads();
    for (int i = 0; i < 10000; ++i) (void)textgrid::available_cpus();
    CHECK(detail::quota_reads() - before <= 1);
}

void quota_parsing() {
    using L = std::optional<std::size_t>;
    const std::pair<const char*, L> cpu_max[] = {
        {"max 100000\n", std::nullopt}, {"150000 100000\n", 2}, {"100000 100000", 1}, {"200001 100000", 3},
        {"5000 100000", 1},  // a fraction of a CPU still gets one
        {"300000", 3},       // the period defaults to 100 ms
        {"", std::nullopt},  {"junk 100000", std::nullopt}};
    for (const auto& [text, want] : cpu_max) CHECK(detail::parse_cpu_max(text) == want);
    CHECK(detail::parse_cfs_quota("-1\n", "100000\n") == std::nullopt);
    CHECK(detail::parse_cfs_quota("250000\n", "100000\n") == L(3));
    CHECK(detail::parse_cfs_quota("250000", "0") == std::nullopt);

    namespace fs = std::filesystem;
    const fs::path mount = fs::temp_directory_path() / ("pool_cgroup_" + std::to_string(getpid()));
    fs::create_directories(mount / "a" / "b");
    const auto put = [](const fs::path& p, const char* text) { std::ofstream(p) << text; };
    CHECK(detail::cgroup_limit(mount.string(), (mount / "a" / "b").string(), true) == std::nullopt);
    put(mount / "cpu.max", "400000 100000\n");
    put(mount / "a" / "cpu.max", "150000 100000\n");
    put(mount / "a" / "b" / "cpu.max", "max 100000\n");
    // The tightest level wins, wherever it sits.
    CHECK(detail::cgroup_limit(mount.string(), (mount / "a" / "b").string(), true) == L(2));
    CHECK(detail::cgroup_limit(mount.string(), mount.string(), true) == L(4));
    put(mount / "a" / "cpu.cfs_quota_us", "-1\n");
    put(mount / "a" / "cpu.cfs_period_us", "100000\n");
    put(mount / "a" / "b" / "cpu.cfs_quota_us", "50000\n");
    put(mount / "a" / "b" / "cpu.cfs_period_us", "100000\n");
    CHECK(detail::cgroup_limit(mount.string(), (mount / "a" / "b").string(), false) == L(1));
    CHECK(detail::cgroup_limit(mount.string(), (mount / "a").string(), false) == std::nullopt);
    fs::remove_all(mount);
}

std::vector<std::string> dirs_of(const char* mountinfo, const char* proc_cgroup) {
    std::vector<std::string> out;
    for (const auto& g : detail::group_dirs(detail::parse_cgroup_mounts(mountinfo), proc_cgroup)) {
        out.push_back((g.v2 ? "v2 " : "v1 ") + g.mount + " " + g.dir);
    }
    return out;
}

void control_groups_are_found_through_the_mount_table() {
    using V = std::vector<std::string>;
    // A container with its own cgroup namespace, v2 only.
    CHECK(dirs_of("30 25 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n", "0::/\n") ==
          V{"v2 /sys/fs/cgroup /sys/fs/cgroup"});
    // A host: the group lies below the mount.
    CHECK(dirs_of("30 25 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", "0::/user.slice/app.scope\n") ==
          V{"v2 /sys/fs/cgroup /sys/fs/cgroup/user.slice/app.scope"});
    // Hybrid: v2 at .../unified, cpu among comounted v1 controllers, an
    // escaped blank in a path, and lines for other controllers ignored.
    CHECK(dirs_of("31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
                  "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
                  "33 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n"
                  "41 31 0:38 / /sys/fs/cgroup/uni\\040fied rw - cgroup2 cgroup2 rw\n",
                  "4:memory:/x\n3:cpuset:/\n2:cpu,cpuacct:/batch\n0::/\n") ==
          V{"v1 /sys/fs/cgroup/cpu,cpuacct /sys/fs/cgroup/cpu,cpuacct/batch", "v2 /sys/fs/cgroup/uni fied /sys/fs/cgroup/uni fied"});
    // v1 without a cgroup namespace: the mount shows the process's own group.
    CHECK(dirs_of("50 40 0:40 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", "5:cpu:/docker/abc\n") ==
          V{"v1 /sys/fs/cgroup/cpu /sys/fs/cgroup/cpu"});
    CHECK(dirs_of("50 40 0:40 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", "5:cpu:/other\n") ==
          V{"v1 /sys/fs/cgroup/cpu /sys/fs/cgroup/cpu"});
    CHECK(dirs_of("", "0::/\n").empty());
}

void thread_count_from_environment() {
    using detail::parse_thread_count;
    using L = std::optional<std::size_t>;
    CHECK(parse_thread_count("3") == L(3));
    CHECK(parse_thread_count("007") == L(7));
    for (const char* junk : {"", "0", "-1", "+3", " 3", "3 ", "3x", "x", "1.5", "99999999999999999999999"}) {
        CHECK(parse_thread_count(junk) == std::nullopt);
    }
    CHECK(parse_thread_count(nullptr) == std::nullopt);

    CHECK(in_child("RAYON_NUM_THREADS=3 sizes the pool", [] {
        setenv("RAYON_NUM_THREADS", "3", 1);
        setenv("RAYON_RS_NUM_CPUS", "5", 1);
        const std::size_t before = thread_count();
        Record r(1000);
        CHECK(each_once(cover(r, 1000, 1)));
        CHECK(detail::pool_worker_count() == 3);
        CHECK(thread_count() == before + 3);
    }));
    CHECK(in_child("junk falls through to RAYON_RS_NUM_CPUS", [] {
        setenv("RAYON_NUM_THREADS", "junk", 1);
        setenv("RAYON_RS_NUM_CPUS", "5", 1);
        CHECK(detail::pool_size_from_env() == 5);
        setenv("RAYON_RS_NUM_CPUS", "0", 1);
        CHECK(detail::pool_size_from_env() == detail::read_available_cpus());
        unsetenv("RAYON_NUM_THREADS");
        unsetenv("RAYON_RS_NUM_CPUS");
        CHECK(detail::pool_size_from_env() == detail::read_available_cpus());
    }));
}

void fork_child_builds_a_fresh_pool() {
#if defined(__SANITIZE_ADDRESS__)
    // The ASan runtime of g++ 12 does not hold its allocator's lock across
    // fork(), so a child forked while the busy thread allocates can hang in
    // its first allocation, whatever the pool does.
    std::printf("skipped under AddressSanitizer: fork while threads allocate\n");
    return;
#endif
    // Keep the parent's workers busy so that the fork may well happen while
    // one of them holds the pool's mutex: the child must not reuse it.
    std::atomic<bool> done{false};
    std::thread busy([&] {
        while (!done) {
            Record r(2000);
            cover(r, 2000, 1);
        }
    });
    bool all = true;
    for (int i = 0; i < 20; ++i) {
        all = all && in_child("parallel work after fork", [] {
            Record r(3000);
            CHECK(each_once(cover(r, 3000, 1)));
            CHECK(r.threads.size() >= 1);
        });
    }
    done = true;
    busy.join();
    CHECK(all);
}

}  // namespace

int main() {
    serial_below_threshold_starts_no_thread();  // must come before any pool use
    thread_count_from_environment();
    covers_every_index_once();
    pool_runs_pieces_on_several_threads();
    nesting_does_not_deadlock();
    failure_skips_unstarted_pieces_and_waits_for_running_ones();
    ordered_hands_over_finished_ranges_in_order();
    tasks_run_once_each_and_at_once();
    pieces_see_the_operation_cpu_count();
    available_cpus_follows_affinity();
    quota_is_kept_between_calls();
    quota_parsing();
    control_groups_are_found_through_the_mount_table();
    fork_child_builds_a_fresh_pool();
    if (failures != 0) std::fprintf(stderr, "%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
