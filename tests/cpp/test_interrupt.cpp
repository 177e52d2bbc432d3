// Stopping an operation through the interrupt check its caller installs:
// who calls the check, how soon a stop takes effect on the pool, and that
// the readers, the batch and the writer stop without a result or a file.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/cpp/check.h"
#include "textgrid/model/converter.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/corpus/batch.h"
#include "textgrid/layout/parser_long.h"
#include "textgrid/layout/parser_short.h"
#include "textgrid/os/pool.h"

using namespace textgrid;
using Clock = std::chrono::steady_clock;

namespace {

using test_support::failures;

// A check that says stop from its `stop_at`-th call on, and records which
// threads called it.
struct Counter {
    std::atomic<int> calls{0};
    int stop_at;
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<bool> foreign_caller{false};

    explicit Counter(int stop) : stop_at(stop) {}
    static bool check(void* self) {
        auto& c = *static_cast<Counter*>(self);
        if (std::this_thread::get_id() != c.owner) c.foreign_caller = true;
        return ++c.calls >= c.stop_at;
    }
};

template <class F>
bool interrupts(F&& f) {
    try {
        f();
    } catch (const Interrupted&) {
        return true;
    }
    return false;
}

void no_scope_no_effect() {
    poll_interrupt();  // nothing installed: must not throw
    std::atomic<std::size_t> done{0};
    parallel_for(10000, 2, [&](std::size_t b, std::size_t e) {
        poll_interrupt();
        done += e - b;
    });
    CHECK(done.load() == 10000);
}

void scopes_nest_and_restore() {
    Counter outer(1), inner(1000);
    {
        InterruptScope a(&Counter::check, &outer);
        {
            InterruptScope b(&Counter::check, &inner);
            poll_interrupt();  // the inner check decides
        }
        CHECK(inner.calls.load() == 1 && outer.calls.load() == 0);
        CHECK(interrupts([] { poll_interrupt(); }));
        // Asked once: a stopped operation stays stopped without asking again.
        CHECK(interrupts([] { poll_interrupt(); }));
        CHECK(outer.calls.load() == 1);
    }
    poll_interrupt();
}

// Pieces on workers never call the check, yet they stop once the caller's
// check said so; pieces not started are skipped; the pool stays usable.
void pool_stops_pieces_and_only_the_caller_asks() {
    Counter counter(3);
    std::atomic<int> started{0};
    bool stopped;
    const auto begin = Clock::now();
    {
        InterruptScope scope(&Counter::check, &counter);
        stopped = interrupts([&] {
            parallel_for(4000, 1, [&](std::size_t, std::size_t) {
                ++started;
                // Each piece would take 2 s unless it sees the stop.
                for (int i = 0; i < 2000; ++i) {
                    poll_interrupt();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        });
    }
    const auto took = Clock::now() - begin;
    CHECK(stopped);
    CHECK(!counter.foreign_caller.load());
    CHECK(took < std::chrono::seconds(1));
    CHECK(started.load() < 20);

    std::atomic<std::size_t> done{0};
    parallel_for(4000, 1, [&](std::size_t b, std::size_t e) { done += e - b; });
    CHECK(done.load() == 4000);
}

// A caller that has nothing left to run asks its check while it waits.
void waiting_caller_keeps_asking() {
    Counter counter(1 << 30);
    std::atomic<int> on_workers{0};
    std::atomic<int> released{0};
    {
        InterruptScope scope(&Counter::check, &counter);
        run_tasks(8, 2, [&](std::size_t) {
            // The caller's tasks end soon, leaving the rest to the workers;
            // those wait until the caller has asked a few times.
            if (std::this_thread::get_id() == counter.owner) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return;
            }
            ++on_workers;
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (counter.calls.load() < 5 && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (counter.calls.load() >= 5) ++released;
        });
    }
    // Which thread takes which task is the pool's choice; with none on a
    // worker there was nothing to wait for.
    CHECK(released.load() == on_workers.load());
}

std::string long_text(std::size_t items) {
    std::string text =
        "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\nxmin = 0\nxmax = 1e9\ntiers? <exists>\nsize = 1\n"
        "item []:\n    item [1]:\n        class = \"IntervalTier\"\n        name = \"w\"\n        xmin = 0\n"
        "        xmax = 1e9\n        intervals: size = " +
        std::to_string(items) + "\n";
    for (std::size_t i = 0; i < items; ++i) {
        text += "        intervals [" + std::to_string(i + 1) + "]:\n            xmin = " + std::to_string(i) +
                "\n            xmax = " + std::to_string(i + 1) + "\n            text = \"a\"\n";
    }
    return text;
}

std::string short_text(std::size_t items) {
    std::string text = "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n0\n1e9\n<exists>\n1\n"
                       "\"IntervalTier\"\n\"w\"\n0\n1e9\n" +
                       std::to_string(items) + "\n";
    for (std::size_t i = 0; i < items; ++i) text += std::to_string(i) + "\n" + std::to_string(i + 1) + "\n\"a\"\n";
    return text;
}

// Every reading and writing step stops when the check says so at once, and
// runs to its end when it never does.
void readers_batches_and_writer_stop() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("orvex-interrupt-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string long_path = (dir / "long.TextGrid").string();
    const std::string short_path = (dir / "short.TextGrid").string();
    std::ofstream(long_path, std::ios::binary) << long_text(20000);
    std::ofstream(short_path, std::ios::binary) << short_text(20000);
    const std::vector<std::string> batch(400, short_path);
    const std::string out = (dir / "out.TextGrid").string();

    auto with_check = [](int stop_at, auto&& f) {
        Counter counter(stop_at);
        InterruptScope scope(&Counter::check, &counter);
        return interrupts(f);
    };
    const TextGrid grid = parse_long(long_text(20000), "g");

    CHECK(with_check(1, [&] { (void)read_from_file(long_path, false, Layout::long_); }));
    CHECK(with_check(1, [&] { (void)read_from_file(short_path, false, Layout::auto_); }));
    CHECK(with_check(1, [&] { (void)parse_short(short_text(20000), "s"); }));
    CHECK(with_check(1, [&] { (void)to_data(grid); }));
    CHECK(with_check(1, [&] { (void)to_vectors(grid); }));
    CHECK(with_check(1, [&] { (void)files_to_vectors(batch, false, Layout::short_); }));
    CHECK(with_check(1, [&] { (void)files_to_data_each(batch, false, Layout::short_, [](std::size_t, const TextGridData&) {
                                   return true;
                               }); }));
    CHECK(with_check(1, [&] { (void)grid.save_textgrid(out, true); }));
    CHECK(!std::filesystem::exists(out));

    // Asked, but never stopping: everything as without a check.
    CHECK(!with_check(1 << 30, [&] {
        CHECK(files_to_vectors(batch, false, Layout::short_).size() == batch.size());
        CHECK(read_from_file(long_path, true, Layout::long_).ok());
        CHECK(grid.save_textgrid(out, false).ok());
    }));
    CHECK(std::filesystem::exists(out));
    std::filesystem::remove_all(dir);
}

// Writing into a FIFO waits for a reader, and for room, without blocking
// for good: a stop that came before the wait began still ends it, and a
// reader that comes late gets the whole text.
void fifo_waits_stay_stoppable() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("orvex-fifo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "fifo.TextGrid").string();
    CHECK(::mkfifo(fifo.c_str(), 0600) == 0);
    const TextGrid grid = parse_long(long_text(20000), "g");  // far more than a pipe holds

    const auto begin = Clock::now();
    Counter never_read(5);
    {
        InterruptScope scope(&Counter::check, &never_read);
        CHECK(interrupts([&] { (void)grid.save_textgrid(fifo, true); }));
    }
    CHECK(Clock::now() - begin < std::chrono::seconds(2));

    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream in(fifo, std::ios::binary);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the pipe fill
        received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    });
    Counter patient(1 << 30);
    {
        InterruptScope scope(&Counter::check, &patient);
        CHECK(grid.save_textgrid(fifo, true).ok());
    }
    reader.join();
    CHECK(received == grid.to_long_textgrid_string());
    CHECK(patient.calls.load() > 1);
    std::filesystem::remove_all(dir);
}

}  // namespace

int main() {
    no_scope_no_effect();
    scopes_nest_and_restore();
    pool_stops_pieces_and_only_the_caller_asks();
    waiting_caller_keeps_asking();
    readers_batches_and_writer_stop();
    fifo_waits_stay_stoppable();
    if (failures != 0) std::fprintf(stderr, "%d check(s) failed\n", failures);
    std::puts(failures == 0 ? "test_interrupt: all checks passed" : "test_interrupt: FAILED");
    return failures == 0 ? 0 : 1;
}
