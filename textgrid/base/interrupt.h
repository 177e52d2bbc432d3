// Stopping a long operation at its caller's request.
//
// The core library knows nothing of who calls it. A caller that may have to
// stop an operation early (the Python module on Ctrl-C) installs a check on
// its own thread for the duration of the call. The long loops of the core
// poll between files, every few thousand lines or items, and the pool polls
// every few milliseconds while the calling thread waits for its pieces.
// Only the thread that installed the check ever calls it; every other
// thread working for the same operation (pool workers, helpers) only sees
// that it was stopped. Once stopped, the operation throws Interrupted:
// pieces not yet started are skipped, running ones end at their next poll,
// and the exception reaches the caller like any other failure of a piece.
#pragma once

#include <atomic>
#include <cstdint>

namespace textgrid {

// Thrown when the caller's check asked to stop. It carries nothing: the
// reason belongs to the caller (the Python module leaves its pending
// KeyboardInterrupt in place). Not a std::exception, so that handlers for
// real failures do not take it for one.
struct Interrupted {};

namespace detail {
struct InterruptState {
    bool (*check)(void* context);
    void* context;
    std::atomic<bool> stopped{false};
};
}  // namespace detail

// Installs check(context) on the calling thread until the scope ends; it
// returns true when the operation should stop. Scopes nest, the innermost
// one counting. The check is called on this thread only, never while the
// pool's lock is held, and not again once it returned true. Must end on the
// thread that made it, in the reverse order of making.
class InterruptScope {
public:
    using Check = bool (*)(void* context);
    InterruptScope(Check check, void* context) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    detail::InterruptState state_;
    detail::InterruptState* saved_own_;
    detail::InterruptState* saved_current_;
};

namespace detail {

// The operation the calling thread is working for (an installed scope, or
// the operation of the piece it runs); null when none has a check.
InterruptState* current_interrupt() noexcept;

// True when the operation was stopped; on the thread that installed its
// check, asks the check first. Never throws; false for null.
bool interrupt_requested(InterruptState* state) noexcept;

// Makes state the current operation of this thread while a piece of it
// runs here, and restores the previous one afterwards.
class WorkingFor {
public:
    explicit WorkingFor(InterruptState* state) noexcept;
    ~WorkingFor();
    WorkingFor(const WorkingFor&) = delete;
    WorkingFor& operator=(const WorkingFor&) = delete;

private:
    InterruptState* saved_;
};

// True when state is the innermost scope installed on this thread, so that
// this thread may call its check.
bool owns_interrupt(const InterruptState* state) noexcept;

}  // namespace detail

// Throws Interrupted when the current operation was stopped (see above).
// Costs a thread-local load when no operation has a check.
void poll_interrupt();

// poll_interrupt once every `every` calls; for loops over lines or items,
// whose single steps are too cheap to poll each.
class InterruptPoller {
public:
    explicit InterruptPoller(std::uint32_t every = 4096) noexcept : every_(every), left_(every) {}
    void tick() {
        if (--left_ == 0) {
            left_ = every_;
            poll_interrupt();
        }
    }

private:
    std::uint32_t every_;
    std::uint32_t left_;
};

}  // namespace textgrid
