// The worker pool: one queue of pieces under one mutex, worker threads that
// take pieces from its front, and waiting threads that take them from its
// back until their own pieces are done.
//
// A caller that installed an interrupt check (interrupt.h) never sleeps for
// longer than kPollInterval: it asks its check between pieces and on every
// wake-up, and once the check says stop, the group is stopped with
// Interrupted as its failure.
//
// A waiting thread helps instead of sleeping, which is what makes nesting
// safe: a worker whose piece starts parallel work of its own (a batch file
// with a large tier) runs queued pieces, its own first, rather than blocking
// a thread the nested work needs. It also means the pool is correct with any
// number of workers, none included. The one exception is the caller of an
// ordered run, whose own work is handing finished pieces over; it runs only
// the piece it needs next.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "textgrid/base/interrupt.h"
#include "textgrid/os/pool.h"
#include "textgrid/os/pool_detail.h"
#include "textgrid/os/signal_mask.h"

namespace textgrid {

namespace {

// Inside a piece, the CPU count of the operation the piece belongs to; 0
// elsewhere. Nested steps of one operation then split by the same N as the
// operation, and a batch does not re-read the control-group files for every
// file it converts.
thread_local std::size_t t_operation_cpus = 0;

class OperationCpus {
public:
    explicit OperationCpus(std::size_t cpus) noexcept : saved_(t_operation_cpus) { t_operation_cpus = cpus; }
    ~OperationCpus() { t_operation_cpus = saved_; }
    OperationCpus(const OperationCpus&) = delete;
    OperationCpus& operator=(const OperationCpus&) = delete;

private:
    std::size_t saved_;
};

// One parallel_for call. It lives on the caller's stack, which does not
// return before `remaining` is 0, so pieces may point to it.
// Fields below `fn` are guarded by the pool's mutex.
struct Group {
    std::size_t cpus;
    void* context;
    detail::PieceFn fn;
    std::size_t remaining;      // pieces not yet finished or skipped
    std::exception_ptr error;   // the first failure
    bool stopped = false;       // the caller wants no more pieces run
    bool owner_asleep = false;  // the caller sleeps until a piece of this group ends
    char* done = nullptr;       // ordered groups only: one flag per piece, set once it ended
    // The operation the group works for, taken from the thread that made
    // it; its pieces run for that operation wherever they run.
    detail::InterruptState* interrupt = detail::current_interrupt();
};

// How long a calling thread with an interrupt check sleeps at most before
// it asks the check again: short next to the half second a person waits
// for Ctrl-C to act, long next to the cost of a wake-up.
constexpr std::chrono::milliseconds kPollInterval{5};

struct Piece {
    Group* group;
    std::size_t index;
    std::size_t begin;
    std::size_t end;
};

using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

class Pool {
public:
    explicit Pool(std::size_t threads) {
        // Workers take no signals: a worker has nothing to do with one.
        const SignalsBlocked blocked;
        try {
            for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Out of threads (a huge RAYON_NUM_THREADS, a tight ulimit):
            // keep those that started. Waiting threads help, so even none
            // would still get every piece done.
        }
    }

    std::size_t workers() const noexcept { return threads_.size(); }

    // Queues the pieces, helps until all of them are finished or skipped,
    // and leaves the first failure in group.error.
    void run(Group& group, const Ranges& ranges) {
        std::unique_lock lock(mutex_);
        queue(lock, group, ranges);
        help_until_done(lock, group);
    }

    // run, handing finished ranges to ready in order meanwhile; false when
    // ready asked to stop. The caller only runs the piece it needs next, and
    // only when no worker has taken it: that alone guarantees progress, and
    // leaves it free to hand over each piece as soon as it is done.
    bool run_ordered(Group& group, const Ranges& ranges, void* ready_context, detail::ReadyFn ready) {
        std::vector<char> done(ranges.size(), 0);
        std::unique_lock lock(mutex_);
        group.done = done.data();
        queue(lock, group, ranges);
        bool completed = true;
        const bool polls = detail::owns_interrupt(group.interrupt);
        std::size_t next = 0;
        while (next < ranges.size() && !group.error) {
            if (polls && poll(lock, group)) {
                completed = false;
                break;
            }
            if (done[next]) {
                lock.unlock();
                bool more = false;
                std::exception_ptr error;
                try {
                    more = ready(ready_context, ranges[next].first, ranges[next].second);
                } catch (...) {
                    error = std::current_exception();
                }
                lock.lock();
                if (error || !more) {
                    if (error && !group.error) group.error = std::move(error);
                    group.stopped = true;
                    completed = false;
                    break;
                }
                ++next;
            } else if (!take_and_run(lock, group, next)) {
                // The piece is running elsewhere. Running some other piece
                // meanwhile would only delay handing this one over, and the
                // handing over is the part no other thread can do.
                group.owner_asleep = true;
                if (polls) {
                    handed_over_.wait_for(lock, kPollInterval);
                } else {
                    handed_over_.wait(lock);
                }
                group.owner_asleep = false;
            }
        }
        help_until_done(lock, group);
        return completed;
    }

private:
    void queue(std::unique_lock<std::mutex>& lock, Group& group, const Ranges& ranges) {
        std::size_t queued = 0;
        try {
            for (const auto& [begin, end] : ranges) {
                queue_.push_back(Piece{&group, queued, begin, end});
                ++queued;
            }
        } catch (...) {
            // The queue could not grow: run nothing more of this group, but
            // still wait for the pieces that are queued, as they point to it.
            group.remaining = queued;
            group.error = std::current_exception();
        }
        // The caller takes a piece itself, so one fewer sleeper is needed;
        // waking more than there are pieces only makes them sleep again.
        const std::size_t wake = std::min(queued - std::min<std::size_t>(queued, 1), idle_);
        lock.unlock();
        for (std::size_t i = 0; i < wake; ++i) work_.notify_one();
        lock.lock();
    }

    // A waiting thread takes the newest piece: most often one of the pieces
    // it is waiting for, and never older work when newer is queued, which
    // keeps the nesting of helped pieces on its stack shallow.
    bool take_and_run(std::unique_lock<std::mutex>& lock) {
        if (queue_.empty()) return false;
        const Piece piece = queue_.back();
        queue_.pop_back();
        execute(lock, piece);
        return true;
    }

    // Runs the given piece of the group if no thread has taken it yet.
    bool take_and_run(std::unique_lock<std::mutex>& lock, const Group& group, std::size_t index) {
        const auto it = std::find_if(queue_.begin(), queue_.end(),
                                     [&](const Piece& p) { return p.group == &group && p.index == index; });
        if (it == queue_.end()) return false;
        const Piece piece = *it;
        queue_.erase(it);
        execute(lock, piece);
        return true;
    }

    // Sleeps among the idle workers when nothing is queued, so that it is
    // woken for new pieces as well as for the end of its group.
    void help_until_done(std::unique_lock<std::mutex>& lock, Group& group) {
        const bool polls = detail::owns_interrupt(group.interrupt);
        while (group.remaining != 0) {
            if (polls) {
                poll(lock, group);
                // The last piece may have ended while the lock was free,
                // and then woke no one.
                if (group.remaining == 0) break;
            }
            if (take_and_run(lock)) continue;
            group.owner_asleep = true;
            ++idle_;
            if (polls) {
                work_.wait_for(lock, kPollInterval);
            } else {
                work_.wait(lock);
            }
            --idle_;
            group.owner_asleep = false;
        }
    }

    // Asks the group's interrupt check, with the lock released (the check
    // may run code that uses the pool itself). On stop no further piece of
    // the group starts and Interrupted becomes its failure, unless it failed
    // already. True when the group is stopped.
    bool poll(std::unique_lock<std::mutex>& lock, Group& group) {
        if (group.stopped) return true;
        lock.unlock();
        const bool stop = detail::interrupt_requested(group.interrupt);
        lock.lock();
        if (stop) {
            group.stopped = true;
            if (!group.error) group.error = std::make_exception_ptr(Interrupted{});
        }
        return group.stopped;
    }

    [[noreturn]] void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            while (queue_.empty()) {
                ++idle_;
                work_.wait(lock);
                --idle_;
            }
            const Piece piece = queue_.front();
            queue_.pop_front();
            execute(lock, piece);
        }
    }

    // Called and returns with the lock held; runs the piece without it.
    void execute(std::unique_lock<std::mutex>& lock, const Piece& piece) {
        Group& group = *piece.group;
        // Once one piece failed the operation's result is lost anyway, so
        // pieces not yet started are skipped rather than run.
        const bool skip = group.error != nullptr || group.stopped;
        std::exception_ptr error;
        lock.unlock();
        if (!skip) {
            OperationCpus scope(group.cpus);
            detail::WorkingFor working(group.interrupt);
            try {
                group.fn(group.context, piece.begin, piece.end);
            } catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        if (error && !group.error) group.error = std::move(error);
        if (group.done != nullptr) group.done[piece.index] = 1;
        const bool last = --group.remaining == 0;
        // Wake the owner only when it sleeps; this runs once per piece, and
        // most owners are busy helping. Touch nothing of the group after
        // this: its owner may return as soon as it sees 0.
        if (group.owner_asleep) {
            if (group.done != nullptr) handed_over_.notify_all();
            if (last) work_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;         // idle threads: a piece was queued, or a group ended
    std::condition_variable handed_over_;  // ordered owners: a piece of theirs ended
    std::size_t idle_ = 0;                 // threads asleep on work_
    std::deque<Piece> queue_;
    std::vector<std::thread> threads_;
};

// The pool is created on first use and deliberately never destroyed: at
// process exit its workers may still be blocked on its condition variable,
// and destroying a condition variable or a joinable std::thread under them
// crashes or terminates. The operating system reclaims the threads.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_pool_creation;

// A forked child has only the thread that called fork; the parent's workers
// are gone, and its pool's mutex may be held by one of them forever. The
// child drops that pool (leaking it, as its members cannot be safely
// destroyed) and builds its own on first use.
void before_fork() { g_pool_creation.lock(); }
void after_fork_in_parent() { g_pool_creation.unlock(); }
void after_fork_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_pool_creation.unlock();
}

Pool& pool() {
    if (Pool* existing = g_pool.load(std::memory_order_acquire)) return *existing;
    std::lock_guard guard(g_pool_creation);
    if (Pool* existing = g_pool.load(std::memory_order_acquire)) return *existing;
    static bool fork_handlers = false;
    if (!fork_handlers) {
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        fork_handlers = true;
    }
    Pool* created = new Pool(detail::pool_size_from_env());
    g_pool.store(created, std::memory_order_release);
    return *created;
}

// Halve while both halves keep kMinPiece elements, and stop once a piece is
// no longer than `grain`: pieces much smaller than the pool needs for
// balance only add queue traffic, which matters for cheap elements such as
// the items of one tier.
void cut(std::size_t begin, std::size_t end, std::size_t grain, Ranges& out) {
    const std::size_t half = (end - begin) / 2;
    if (end - begin > grain && half >= kMinPiece) {
        cut(begin, begin + half, grain, out);
        cut(begin + half, end, grain, out);
    } else {
        out.emplace_back(begin, end);
    }
}

// About this many pieces per thread keeps threads evenly busy when
// elements differ in cost (files of different sizes).
constexpr std::size_t kPiecesPerThread = 16;

Ranges cut_for(std::size_t n, std::size_t cpus, const Pool& p) {
    const std::size_t threads = std::max(cpus, p.workers() + 1);
    const std::size_t pieces = kPiecesPerThread * threads;
    Ranges ranges;
    ranges.reserve(2 * pieces);
    cut(0, n, (n + pieces - 1) / pieces, ranges);
    return ranges;
}

// Below the threshold no pool is made; under 40 elements the one piece
// there would be is not worth queueing, as this thread would take it back.
Ranges pieces_for(std::size_t n, std::size_t cpus, Pool*& p) {
    if (!runs_on_pool(n, cpus)) return {};
    p = &pool();
    return cut_for(n, cpus, *p);
}

}  // namespace

std::size_t available_cpus() noexcept {
    if (t_operation_cpus != 0) return t_operation_cpus;
    return detail::read_available_cpus();
}

namespace detail {

std::size_t pool_worker_count() noexcept {
    const Pool* p = g_pool.load(std::memory_order_acquire);
    return p != nullptr ? p->workers() : 0;
}

void parallel_for(std::size_t n, std::size_t cpus, void* context, PieceFn fn) {
    if (n == 0) return;
    cpus = std::max<std::size_t>(cpus, 1);
    Pool* p = nullptr;
    const Ranges ranges = pieces_for(n, cpus, p);
    if (ranges.size() <= 1) {
        OperationCpus scope(cpus);
        fn(context, 0, n);
        return;
    }
    Group group{cpus, context, fn, ranges.size(), nullptr};
    p->run(group, ranges);
    if (group.error) std::rethrow_exception(group.error);
}

bool parallel_for_ordered(std::size_t n, std::size_t cpus, void* body_context, PieceFn body, void* ready_context,
                          ReadyFn ready) {
    if (n == 0) return true;
    cpus = std::max<std::size_t>(cpus, 1);
    Pool* p = nullptr;
    const Ranges ranges = pieces_for(n, cpus, p);
    if (ranges.size() <= 1) {
        {
            OperationCpus scope(cpus);
            body(body_context, 0, n);
        }
        return ready(ready_context, 0, n);
    }
    Group group{cpus, body_context, body, ranges.size(), nullptr};
    const bool completed = p->run_ordered(group, ranges, ready_context, ready);
    if (group.error) std::rethrow_exception(group.error);
    return completed;
}

void run_tasks(std::size_t count, std::size_t cpus, void* context, PieceFn fn) {
    if (count == 0) return;
    cpus = std::max<std::size_t>(cpus, 1);
    if (count == 1) {
        OperationCpus scope(cpus);
        fn(context, 0, 1);
        return;
    }
    Ranges ranges;
    ranges.reserve(count);
    for (std::size_t i = 0; i < count; ++i) ranges.emplace_back(i, i + 1);
    Group group{cpus, context, fn, ranges.size(), nullptr};
    pool().run(group, ranges);
    if (group.error) std::rethrow_exception(group.error);
}

}  // namespace detail

}  // namespace textgrid
