// The process-wide worker pool and the one splitting rule every parallel step
// uses.
//
// With N the CPUs available to the process, a range of at least 10 x N
// elements is cut into contiguous pieces that run on the pool: halved only
// while both halves keep at least 20 elements, and no further than about 16
// pieces per thread. A shorter range runs on the calling thread as one
// piece. A thread that waits for its pieces runs other queued pieces
// meanwhile, so nested parallel work never deadlocks.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace textgrid {

// The CPUs of the process's affinity mask, capped by a control-group CPU
// quota where one is set (v2 cpu.max, v1 cfs quota over period, rounded up,
// on the process's group and its ancestors); at least 1. Never throws.
// The mask is read anew on every call, in one system call; the quota is
// kept for a second. From inside a piece of parallel_for (on whichever
// thread runs it) it returns the count that parallel_for was given instead,
// so that the nested steps of one operation split by the operation's N.
std::size_t available_cpus() noexcept;

inline constexpr std::size_t kParallelFactor = 10;  // elements per CPU before the pool is used
inline constexpr std::size_t kMinPiece = 20;        // no piece is shorter than this

inline bool runs_on_pool(std::size_t n, std::size_t cpus) noexcept { return n >= kParallelFactor * cpus; }

// The N for an operation whose longest range has `longest` elements: a
// range under kParallelFactor runs on the calling thread whatever N is, so
// 1 is then as good an answer and spares asking the system. A small grid
// written or read one call at a time asks for nothing.
inline std::size_t cpus_for(std::size_t longest) noexcept {
    return longest < kParallelFactor ? 1 : available_cpus();
}

namespace detail {
using PieceFn = void (*)(void* context, std::size_t begin, std::size_t end);
using ReadyFn = bool (*)(void* context, std::size_t begin, std::size_t end);
void parallel_for(std::size_t n, std::size_t cpus, void* context, PieceFn fn);
bool parallel_for_ordered(std::size_t n, std::size_t cpus, void* body_context, PieceFn body, void* ready_context,
                          ReadyFn ready);
void run_tasks(std::size_t count, std::size_t cpus, void* context, PieceFn fn);

template <class F>
void* erase(F& f) noexcept {
    return const_cast<void*>(static_cast<const void*>(&f));
}
}  // namespace detail

// Calls body(begin, end) for contiguous pieces that together cover [0, n),
// each exactly once, on the pool or on the calling thread as the rule says;
// returns when every piece is done. cpus is the operation's N (0 counts as
// 1). Below the threshold the whole range is one call on the calling thread
// and no thread is started; at or above it the process-wide pool is created
// if need be (sized by RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else
// available_cpus()) and the calling thread runs pieces too while it waits;
// a range that makes only one piece (under 40 elements) runs in place.
// Pieces may run in any order and at once, so each must write only its own
// output slots. body may itself call parallel_for. If a piece throws,
// pieces not yet started are skipped and the first exception is rethrown
// here, after every running piece ended. May also throw std::bad_alloc.
// Safe to use in a child after fork(): the child builds its own pool.
template <class Body>
void parallel_for(std::size_t n, std::size_t cpus, Body&& body) {
    using B = std::remove_reference_t<Body>;
    detail::parallel_for(n, cpus, detail::erase(body),
                         [](void* ctx, std::size_t begin, std::size_t end) { (*static_cast<B*>(ctx))(begin, end); });
}

// parallel_for, and meanwhile on the calling thread ready(begin, end) -> bool
// for consecutive ranges that together cover [0, n), in increasing order,
// each as soon as body has finished on it and on everything before it. The
// caller can so consume results in input order while the pool is still
// producing later ones. When the range is one piece (below the threshold,
// or under 40 elements): body(0, n), then ready(0, n), on the calling thread.
// ready returning false stops the work: pieces not yet started are skipped,
// running ones end, and the call returns false. Returns true once ready has
// seen all of [0, n). Exceptions from body or ready are handled as in
// parallel_for; ready may have been called for a prefix of the range then.
template <class Body, class Ready>
bool parallel_for_ordered(std::size_t n, std::size_t cpus, Body&& body, Ready&& ready) {
    using B = std::remove_reference_t<Body>;
    using R = std::remove_reference_t<Ready>;
    return detail::parallel_for_ordered(
        n, cpus, detail::erase(body),
        [](void* ctx, std::size_t begin, std::size_t end) { (*static_cast<B*>(ctx))(begin, end); },
        detail::erase(ready),
        [](void* ctx, std::size_t begin, std::size_t end) -> bool { return (*static_cast<R*>(ctx))(begin, end); });
}

// Calls task(i) once for every i in [0, count), each as a piece of its own,
// for a few large tasks that the caller has sized already (the splitting
// rule above is for many small elements and would keep two tasks on the
// calling thread). With count >= 2 the process-wide pool is created if need
// be and the calling thread runs tasks too, then helps with other queued
// work until all of its own have ended, so this nests with parallel_for like
// parallel_for itself. count 1 runs in place and starts no thread; count 0
// does nothing. Tasks may run in any order and at once, and see cpus (0
// counts as 1) from available_cpus(). If a task throws, tasks not yet
// started are skipped and the first exception in time is rethrown here
// after the running ones ended; a caller that needs the outcome of each task
// catches inside the task. May also throw std::bad_alloc.
template <class Task>
void run_tasks(std::size_t count, std::size_t cpus, Task&& task) {
    using T = std::remove_reference_t<Task>;
    detail::run_tasks(count, cpus, detail::erase(task),
                      [](void* ctx, std::size_t index, std::size_t) { (*static_cast<T*>(ctx))(index); });
}

}  // namespace textgrid
