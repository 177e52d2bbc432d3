#include "textgrid/layout/writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "textgrid/base/interrupt.h"
#include "textgrid/os/file_write.h"
#include "textgrid/os/pool.h"
#include "textgrid/text/number_write.h"

namespace textgrid {

namespace {

constexpr std::string_view kHeader = "File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\n";

std::string_view class_name(const Tier& tier) { return tier.is_interval ? "IntervalTier" : "TextTier"; }

std::string_view presence(const TextGrid& tg) { return tg.tiers.empty() ? "<absent>" : "<exists>"; }

// A bounded stretch of output assembled on the stack, so that an item costs
// a few appends to the result instead of one per piece.
class Line {
public:
    void put(std::string_view s) noexcept {
        std::memcpy(end_, s.data(), s.size());
        end_ += s.size();
    }
    void time(double v) noexcept { end_ = write_time(end_, v); }
    void count(std::uint64_t n) noexcept { end_ = std::to_chars(end_, buf_ + sizeof buf_, n).ptr; }
    void flush(std::string& out) {
        out.append(buf_, static_cast<std::size_t>(end_ - buf_));
        end_ = buf_;
    }

private:
    // Room for two times, a count and the fixed text of one item.
    char buf_[2 * kMaxTime + 160];
    char* end_ = buf_;
};

// Every time and label line of the long layout ends with a space before CR LF;
// Praat writes it that way and some readers look for it.
void append_long_item(std::string& out, const Tier& tier, std::size_t i) {
    const Item& item = tier.items[i];
    Line line;
    if (tier.is_interval) {
        line.put("        intervals [");
        line.count(i + 1);
        line.put("]:\r\n            xmin = ");
        line.time(item.tmin);
        line.put(" \r\n            xmax = ");
        line.time(item.tmax);
        line.put(" \r\n            text = ");
    } else {
        // A point is written by its tmin alone; a stray tmax is not kept.
        line.put("        points [");
        line.count(i + 1);
        line.put("]:\r\n            number = ");
        line.time(item.tmin);
        line.put(" \r\n            mark = ");
    }
    line.flush(out);
    append_quoted(out, item.label);
    out += " \r\n";
}

void append_short_item(std::string& out, const Tier& tier, std::size_t i) {
    const Item& item = tier.items[i];
    Line line;
    line.time(item.tmin);
    line.put("\r\n");
    if (tier.is_interval) {
        line.time(item.tmax);
        line.put("\r\n");
    }
    line.flush(out);
    append_quoted(out, item.label);
    out += "\r\n";
}

// A close guess of the bytes of items [begin, end): the fixed text of one
// block, two times of typical length and the label. Reserving it keeps the
// output from being copied over and over as it grows.
std::size_t size_guess(const Tier& tier, bool long_layout, std::size_t begin, std::size_t end) {
    // Fixed text plus times of 17 significant digits; an overshoot costs
    // address space only, as pages never written are never touched.
    const std::size_t per_item = long_layout ? (tier.is_interval ? 140 : 96) : (tier.is_interval ? 48 : 28);
    std::size_t guess = (end - begin) * per_item;
    for (std::size_t i = begin; i < end; ++i) guess += tier.items[i].label.size();
    return guess;
}

// Whether a tier is rendered on the worker pool; cpus 0 keeps every tier
// on the calling thread.
bool splits(const Tier& tier, std::size_t cpus) noexcept {
    return cpus != 0 && runs_on_pool(tier.items.size(), cpus);
}

// For the first piece: the header and the tiers rendered on the calling
// thread, which all land in it.
std::size_t size_guess(const TextGrid& tg, bool long_layout, std::size_t cpus) {
    std::size_t guess = 256;
    for (const Tier& tier : tg.tiers) {
        guess += 256 + tier.name.size();
        if (!splits(tier, cpus)) guess += size_guess(tier, long_layout, 0, tier.items.size());
    }
    return guess;
}

void append_item_range(std::string& out, const Tier& tier, bool long_layout, std::size_t begin, std::size_t end) {
    out.reserve(out.size() + size_guess(tier, long_layout, begin, end));
    if (long_layout) {
        for (std::size_t i = begin; i < end; ++i) append_long_item(out, tier, i);
    } else {
        for (std::size_t i = begin; i < end; ++i) append_short_item(out, tier, i);
    }
}

// The file text as consecutive pieces, never empty. Small tiers are
// appended to the last piece; the runs of a tier rendered on the pool become
// pieces of their own, so that saving hands them to the kernel as they are
// instead of copying them into one buffer first.
using Pieces = std::vector<std::string>;

void render_item_blocks(Pieces& pieces, const Tier& tier, bool long_layout, std::size_t cpus) {
    const std::size_t n = tier.items.size();
    if (!splits(tier, cpus)) {
        append_item_range(pieces.back(), tier, long_layout, 0, n);
        return;
    }
    // Each run renders into its own string. Runs are contiguous and at
    // least kMinPiece items long (the whole range when it is shorter), so
    // begin / kMinPiece gives every run a slot of its own, and the slots in
    // order hold the runs in item order.
    std::vector<std::string> runs(n / kMinPiece + 1);
    parallel_for(n, cpus, [&](std::size_t begin, std::size_t end) {
        append_item_range(runs[begin / kMinPiece], tier, long_layout, begin, end);
    });
    for (std::string& run : runs) {
        if (!run.empty()) pieces.push_back(std::move(run));
    }
    pieces.emplace_back();
}

void render_long_tier(Pieces& pieces, const Tier& tier, std::uint64_t index, std::size_t cpus) {
    std::string& out = pieces.back();
    out += "    item [";
    append_count(out, index + 1);
    out += "]:\r\n        class = \"";
    out += class_name(tier);
    out += "\" \r\n        name = ";
    append_quoted(out, tier.name);
    out += " \r\n        xmin = ";
    append_time(out, tier.tmin);
    out += " \r\n        xmax = ";
    append_time(out, tier.tmax);
    out += tier.is_interval ? " \r\n        intervals: size = " : " \r\n        points: size = ";
    append_count(out, tier.items.size());
    out += " \r\n";
    render_item_blocks(pieces, tier, true, cpus);
}

void render_short_tier(Pieces& pieces, const Tier& tier, std::size_t cpus) {
    std::string& out = pieces.back();
    out += '"';
    out += class_name(tier);
    out += "\"\r\n";
    append_quoted(out, tier.name);
    out += "\r\n";
    append_time(out, tier.tmin);
    out += "\r\n";
    append_time(out, tier.tmax);
    out += "\r\n";
    append_count(out, tier.items.size());
    out += "\r\n";
    render_item_blocks(pieces, tier, false, cpus);
}

// The CPU count is read once per file, and not at all for a grid of short
// tiers: reading it takes a system call, which costs more than rendering
// a small tier. 0 (every tier on the calling thread) when no tier has
// `alone` items.
std::size_t cpus_for_grid(const TextGrid& tg, std::size_t alone) noexcept {
    std::size_t longest = 0;
    for (const Tier& tier : tg.tiers) longest = std::max(longest, tier.items.size());
    return longest < alone ? 0 : cpus_for(longest);
}

Pieces render_long(const TextGrid& tg, std::size_t alone) {
    const std::size_t cpus = cpus_for_grid(tg, alone);
    Pieces pieces(1);
    std::string& out = pieces.back();
    out.reserve(size_guess(tg, true, cpus));
    out += kHeader;
    out += "xmin = ";
    append_time(out, tg.tmin);
    out += " \r\nxmax = ";
    append_time(out, tg.tmax);
    out += " \r\ntiers? ";
    out += presence(tg);
    out += " \r\nsize = ";
    append_count(out, tg.tiers.size());
    out += " \r\nitem []: \r\n";
    for (std::size_t i = 0; i < tg.tiers.size(); ++i) {
        poll_interrupt();
        render_long_tier(pieces, tg.tiers[i], i, cpus);
    }
    return pieces;
}

Pieces render_short(const TextGrid& tg, std::size_t alone) {
    const std::size_t cpus = cpus_for_grid(tg, alone);
    Pieces pieces(1);
    std::string& out = pieces.back();
    out.reserve(size_guess(tg, false, cpus));
    out += kHeader;
    append_time(out, tg.tmin);
    out += "\r\n";
    append_time(out, tg.tmax);
    out += "\r\n";
    out += presence(tg);
    out += "\r\n";
    append_count(out, tg.tiers.size());
    out += "\r\n";
    for (const Tier& tier : tg.tiers) {
        poll_interrupt();
        render_short_tier(pieces, tier, cpus);
    }
    return pieces;
}

std::string join(Pieces&& pieces) {
    if (pieces.size() == 1) return std::move(pieces.front());
    std::size_t total = 0;
    for (const std::string& piece : pieces) total += piece.size();
    std::string out;
    out.reserve(total);
    for (const std::string& piece : pieces) out += piece;
    return out;
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    std::size_t start = 0;
    for (std::size_t q = text.find('"'); q != std::string_view::npos; q = text.find('"', q + 1)) {
        out.append(text, start, q + 1 - start);
        out += '"';
        start = q + 1;
    }
    out.append(text, start);
    out += '"';
}

namespace detail {

void append_item_blocks(std::string& out, const Tier& tier, bool long_layout, std::size_t cpus) {
    Pieces pieces(1);
    render_item_blocks(pieces, tier, long_layout, cpus);
    out += join(std::move(pieces));
}

}  // namespace detail

std::string Tier::to_long_textgrid_string(std::uint64_t index) const {
    Pieces pieces(1);
    render_long_tier(pieces, *this, index, cpus_for(items.size()));
    return join(std::move(pieces));
}

std::string Tier::to_short_textgrid_string() const {
    Pieces pieces(1);
    render_short_tier(pieces, *this, cpus_for(items.size()));
    return join(std::move(pieces));
}

std::string TextGrid::to_long_textgrid_string() const { return join(render_long(*this, 0)); }

std::string TextGrid::to_short_textgrid_string() const { return join(render_short(*this, 0)); }

std::string render_among_many(const TextGrid& tg, bool long_layout) {
    return join(long_layout ? render_long(tg, kAloneItems) : render_short(tg, kAloneItems));
}

Status TextGrid::save_textgrid(const std::string& path, bool long_format) const {
    // open() would stop at a NUL and create some other file.
    if (path.find('\0') != std::string::npos) return Error::invalid_input("file path contains a NUL byte");
    // The whole text is rendered before the file is opened, so that running
    // out of memory cannot leave a truncated file behind.
    const Pieces pieces = long_format ? render_long(*this, 0) : render_short(*this, 0);
    return write_file(path, pieces);
}

}  // namespace textgrid
