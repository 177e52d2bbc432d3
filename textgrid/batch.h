// The per-file loop shared by the batch operations: read every path,
// convert what was read, keep one entry per path in path order.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/lib.h"
#include "textgrid/pool.h"
#include "textgrid/result.h"
#include "textgrid/textgrid.h"

namespace textgrid::detail {

// Reads files[i] with read_from_file and stores convert(textgrid) in entry
// i; on the worker pool for at least 10 x N paths (N read once, here). A read
// error leaves entry i default-constructed: that is the empty entry. Each
// TextGrid is released as soon as its entry is stored.
//
// A fatal read failure (or anything else thrown, std::bad_alloc included)
// ends the call: other pieces take no new file, the entries made so far are
// released, and the exception is rethrown on the calling thread. convert
// must be safe to call from several threads at once.
template <class Entry, class Convert>
std::vector<Entry> files_to_entries(const std::vector<std::string>& files, bool strict, std::string_view file_type,
                                    Convert convert) {
    std::vector<Entry> entries(files.size());
    std::atomic<bool> stop{false};
    textgrid::parallel_for(files.size(), available_cpus(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            // The result of a failed batch is thrown away, so pieces still
            // running finish their current file and take no other.
            if (stop.load(std::memory_order_relaxed)) return;
            try {
                Result<TextGrid> read = read_from_file(files[i], strict, file_type);
                if (read) entries[i] = convert(read.value());
            } catch (...) {
                stop.store(true, std::memory_order_relaxed);
                throw;
            }
        }
    });
    return entries;
}

}  // namespace textgrid::detail
