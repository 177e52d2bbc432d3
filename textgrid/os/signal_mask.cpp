#include "textgrid/os/signal_mask.h"

#include <pthread.h>

#include <initializer_list>

namespace textgrid {

SignalsBlocked::SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigdelset(&all, fault);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace textgrid
