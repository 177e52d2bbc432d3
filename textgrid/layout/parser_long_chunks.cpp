// The long-layout parse of a large text in contiguous chunks at once.
//
// A text can be cut before any line that begins with "intervals [" or
// "points [": such a line appends an item to the last tier and enters the
// item state whatever state the reader was in, so the chunk that starts
// there needs nothing from the chunks before it but the tier its first
// items belong to, and that is settled when the chunks are joined.
//
// A quoted value that runs over several lines hides those lines from the
// reader, and one of them may be where a cut was made. The chunk before the
// cut then reads past its end, the next one began inside a value, and the
// text is read again in one pass. Cuts are placed only at item lines, which
// a label rarely holds, so this seldom happens. The chunks are joined in
// text order and each is trusted only once the one before it ended at its
// start, so the failure reported is the one the one-pass parse meets first.
#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <vector>

#include "textgrid/layout/parser_long_detail.h"
#include "textgrid/os/pool.h"
#include "textgrid/base/result.h"
#include "textgrid/text/text_scan.h"

namespace textgrid::detail {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool is_item_line(std::string_view line) noexcept { return is_item_prefix(scan::trim_front(line)); }

// The offset of the first item line that starts after offset `from` and
// before `limit`; kNone when there is none. Lines end as the reader's do.
std::size_t item_line_after(std::string_view text, std::size_t from, std::size_t limit) noexcept {
    const char* const base = text.data();
    const char* const end = base + text.size();
    const char* p = base + from;
    for (;;) {
        const char* brk = scan::find_line_break(p, end);
        if (brk == end) return kNone;
        const char* line = scan::after_line_break(brk, end);
        if (line >= base + limit) return kNone;
        p = scan::find_line_break(line, end);
        if (is_item_line({line, static_cast<std::size_t>(p - line)})) return static_cast<std::size_t>(line - base);
    }
}

// Where the chunks start: 0, then the first item line after each further
// count-th of the text. A stretch without one (a huge label, a long run of
// lines the reader ignores) merges with the chunk before it.
std::vector<std::size_t> chunk_starts(std::string_view text, std::size_t count) {
    std::vector<std::size_t> starts{0};
    const std::size_t step = text.size() / std::max<std::size_t>(count, 1);
    for (std::size_t k = 1; k < count; ++k) {
        const std::size_t limit = k + 1 < count ? step * (k + 1) : text.size();
        if (const std::size_t at = item_line_after(text, step * k, limit); at != kNone) starts.push_back(at);
    }
    return starts;
}

// Appends a continued chunk's grid: its placeholder's items to the last
// tier so far, then its own tiers.
void join(TextGrid& grid, TextGrid& chunk) {
    std::vector<Item>& carried = chunk.tiers.front().items;
    std::vector<Item>& last = grid.tiers.back().items;
    if (last.empty()) {
        last.swap(carried);
    } else {
        last.insert(last.end(), std::make_move_iterator(carried.begin()), std::make_move_iterator(carried.end()));
    }
    grid.tiers.insert(grid.tiers.end(), std::make_move_iterator(chunk.tiers.begin() + 1),
                      std::make_move_iterator(chunk.tiers.end()));
}

}  // namespace

TextGrid parse_long_chunked(std::string_view text, std::string name, std::size_t cpus) {
    return parse_long_in_chunks(text, std::move(name), cpus, std::min(cpus, text.size() / kMinChunk));
}

TextGrid parse_long_in_chunks(std::string_view text, std::string name, std::size_t cpus, std::size_t chunks) {
    const std::vector<std::size_t> starts = chunk_starts(text, chunks);
    const std::size_t count = starts.size();
    std::vector<LongPart> parts(count);
    // Kept per chunk rather than left to the pool, which reports the first
    // failure in time: a later chunk may fail before an earlier one does.
    std::vector<std::exception_ptr> failures(count);
    textgrid::run_tasks(count, cpus, [&](std::size_t k) {
        const std::size_t end = k + 1 < count ? starts[k + 1] : text.size();
        try {
            parts[k] = parse_long_lines(text, starts[k], end, k != 0);
        } catch (...) {
            failures[k] = std::current_exception();
        }
    });

    TextGrid grid;
    for (std::size_t k = 0; k < count; ++k) {
        // Items with no tier to go to: the one-pass parse fails at this
        // chunk's first line, and is left to say so in its own words.
        if (k != 0 && grid.tiers.empty()) return parse_long_one_pass(text, std::move(name));
        if (failures[k]) std::rethrow_exception(failures[k]);
        TextGrid& chunk = parts[k].grid;
        if (k == 0) {
            grid = std::move(chunk);
        } else {
            join(grid, chunk);
        }
        if (k + 1 < count && parts[k].stop != starts[k + 1]) return parse_long_one_pass(text, std::move(name));
    }
    grid.name = std::move(name);
    return grid;
}

}  // namespace textgrid::detail
