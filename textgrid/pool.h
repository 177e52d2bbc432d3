// The process-wide worker pool and the one splitting rule every parallel step
// uses.
//
// With N the CPUs available to the process, a range of at least 10 x N
// elements is cut into contiguous pieces (halved only while both halves keep
// at least 20 elements) that run on the pool; a shorter range runs on the
// calling thread as one piece. A thread that waits for its pieces runs other
// queued pieces meanwhile, so nested parallel work never deadlocks.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace textgrid {

// The CPUs of the process's affinity mask, capped by a control-group CPU
// quota where one is set (v2 cpu.max, v1 cfs quota over period, rounded up,
// on the process's group and its ancestors); at least 1. Never throws.
// Read anew on every call, except from inside a piece of parallel_for (on
// whichever thread runs it): there it returns the count that parallel_for
// was given, so the nested steps of one operation split by the operation's N
// and a batch does not re-read the control-group files for every file.
std::size_t available_cpus() noexcept;

inline constexpr std::size_t kParallelFactor = 10;  // elements per CPU before the pool is used
inline constexpr std::size_t kMinPiece = 20;        // no piece is shorter than this

inline bool runs_on_pool(std::size_t n, std::size_t cpus) noexcept { return n >= kParallelFactor * cpus; }

namespace detail {
using PieceFn = void (*)(void* context, std::size_t begin, std::size_t end);
void parallel_for(std::size_t n, std::size_t cpus, void* context, PieceFn fn);
}  // namespace detail

// Calls body(begin, end) for contiguous pieces that together cover [0, n),
// each exactly once, on the pool or on the calling thread as the rule says;
// returns when every piece is done. cpus is the operation's N (0 counts as
// 1). Below the threshold the whole range is one call on the calling thread
// and no thread is started; at or above it the process-wide pool is created
// if need be (sized by RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else
// available_cpus()) and the calling thread runs pieces too while it waits.
// Pieces may run in any order and at once, so each must write only its own
// output slots. body may itself call parallel_for. If a piece throws,
// pieces not yet started are skipped and the first exception is rethrown
// here, after every running piece ended. May also throw std::bad_alloc.
// Safe to use in a child after fork(): the child builds its own pool.
template <class Body>
void parallel_for(std::size_t n, std::size_t cpus, Body&& body) {
    using B = std::remove_reference_t<Body>;
    detail::parallel_for(n, cpus, const_cast<void*>(static_cast<const void*>(&body)),
                         [](void* ctx, std::size_t begin, std::size_t end) { (*static_cast<B*>(ctx))(begin, end); });
}

}  // namespace textgrid
