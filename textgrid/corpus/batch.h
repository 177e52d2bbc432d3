// The per-file loop shared by the batch operations: read every path,
// convert what was read, keep one entry per path in path order.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/model/converter.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/layout/read.h"
#include "textgrid/os/pool.h"
#include "textgrid/base/result.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

// Reads and converts every file, on the worker pool for at least 10 x N
// paths, and hands the entries to a caller that turns them into something
// else as they come: on the calling thread, consume(i, entry) is called for
// every path in path order, as soon as entry i and all before it are made,
// while the pool goes on reading later files; each entry is released right
// after. A file that gives a read error yields the empty entry (0, 0, no
// tiers). Returns false when consume returned false (then no further file
// is started), true once every path was consumed. Throws FatalReadError for
// the first fatal read failure met, possibly after consume saw a prefix of
// the paths.
bool files_to_data_each(const std::vector<std::string>& files, bool strict, Layout layout,
                        const std::function<bool(std::size_t index, const TextGridData& entry)>& consume);

// Reads every file into columnar vectors, on the worker pool for at least
// 10 x N paths: one entry per path, in path order, with five empty columns
// for a file that gives a read error. The entries are kept apart; joining
// them is the caller's work. Throws FatalReadError for the first fatal read
// failure met; no result is returned then.
std::vector<TextGridVectors> files_to_vectors(const std::vector<std::string>& files, bool strict,
                                              Layout layout);

namespace detail {

// The loop over files[begin, end) of one piece. A read error leaves the
// entry default-constructed: that is the empty entry. Each TextGrid is
// released as soon as its entry is stored. Anything thrown (a fatal read
// failure, Interrupted, std::bad_alloc) raises stop, so that other pieces
// take no new file, and propagates.
template <class Entry, class Convert>
struct ReadPiece {
    const std::vector<std::string>& files;
    bool strict;
    Layout layout;
    Convert& convert;
    std::vector<Entry>& entries;
    std::atomic<bool>& stop;

    void operator()(std::size_t begin, std::size_t end) const {
        for (std::size_t i = begin; i < end; ++i) {
            // The result of a failed batch is thrown away, so pieces still
            // running finish their current file and take no other.
            if (stop.load(std::memory_order_relaxed)) return;
            try {
                poll_interrupt();
                Result<TextGrid> read = read_from_file(files[i], strict, layout);
                if (read) entries[i] = convert(read.value());
            } catch (...) {
                stop.store(true, std::memory_order_relaxed);
                throw;
            }
        }
    }
};

// Reads files[i] with read_from_file and stores convert(textgrid) in entry
// i; on the worker pool for at least 10 x N paths (N read once, here). A
// fatal read failure (or anything else thrown) ends the call: the entries
// made so far are released and the exception is rethrown on the calling
// thread. convert must be safe to call from several threads at once.
template <class Entry, class Convert>
std::vector<Entry> files_to_entries(const std::vector<std::string>& files, bool strict, Layout layout,
                                    Convert convert) {
    std::vector<Entry> entries(files.size());
    std::atomic<bool> stop{false};
    textgrid::parallel_for(files.size(), available_cpus(),
                           ReadPiece<Entry, Convert>{files, strict, layout, convert, entries, stop});
    return entries;
}

// files_to_entries, handing entry i to consume(i, entry) on the calling
// thread in path order while later files are still being read; see
// files_to_data_each.
template <class Entry, class Convert, class Consume>
bool files_to_entries_each(const std::vector<std::string>& files, bool strict, Layout layout,
                           Convert convert, Consume& consume) {
    std::vector<Entry> entries(files.size());
    std::atomic<bool> stop{false};
    return textgrid::parallel_for_ordered(
        files.size(), available_cpus(), ReadPiece<Entry, Convert>{files, strict, layout, convert, entries, stop},
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const bool more = consume(i, static_cast<const Entry&>(entries[i]));
                entries[i] = Entry{};
                if (!more) {
                    stop.store(true, std::memory_order_relaxed);
                    return false;
                }
            }
            return true;
        });
}

}  // namespace detail

}  // namespace textgrid
