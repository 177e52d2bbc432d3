#include "textgrid/base/interrupt.h"

namespace textgrid {

namespace {

// The innermost scope installed on this thread: the only state whose check
// this thread may call.
thread_local detail::InterruptState* t_own = nullptr;
// The operation this thread works for right now: its own scope, or the one
// of the piece it is running for someone else.
thread_local detail::InterruptState* t_current = nullptr;

}  // namespace

InterruptScope::InterruptScope(Check check, void* context) noexcept
    : state_{check, context}, saved_own_(t_own), saved_current_(t_current) {
    t_own = &state_;
    t_current = &state_;
}

InterruptScope::~InterruptScope() {
    t_own = saved_own_;
    t_current = saved_current_;
}

namespace detail {

InterruptState* current_interrupt() noexcept { return t_current; }

bool owns_interrupt(const InterruptState* state) noexcept { return state != nullptr && state == t_own; }

bool interrupt_requested(InterruptState* state) noexcept {
    if (state == nullptr) return false;
    if (state->stopped.load(std::memory_order_relaxed)) return true;
    if (state != t_own || !state->check(state->context)) return false;
    state->stopped.store(true, std::memory_order_relaxed);
    return true;
}

WorkingFor::WorkingFor(InterruptState* state) noexcept : saved_(t_current) { t_current = state; }

WorkingFor::~WorkingFor() { t_current = saved_; }

}  // namespace detail

void poll_interrupt() {
    if (detail::interrupt_requested(t_current)) throw Interrupted{};
}

}  // namespace textgrid
