// Starting threads that take no signals.
#pragma once

#include <signal.h>

namespace textgrid {

// While alive, the calling thread takes no signals but faults (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT); the mask it had comes back when this
// ends, however the scope ends. A thread started meanwhile inherits the
// mask and keeps it: the thread that runs the interpreter expects the
// signals (Ctrl-C among them), and faults stay deliverable so that a crash
// in a helper thread still reaches the process's fault handlers.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept;
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace textgrid
