// The in-memory form of one TextGrid file, and its validation.
//
// The records are plain values: nothing is checked when they are built.
// Validation is a separate step that strict reading and every conversion from
// caller values run. Rendering (to_*_textgrid_string, save_textgrid) lives in
// writer.cpp; it validates nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/base/result.h"

namespace textgrid {

// Bounds and overlaps are compared with this slack, in seconds.
inline constexpr double kTolerance = 0.000001;

// One interval, or one point (then tmax == tmin in a valid tier).
struct Item {
    std::string label;
    double tmin = 0.0;
    double tmax = 0.0;
};

struct Tier {
    std::string name;
    std::vector<Item> items;
    // The item count the source declared; may disagree with items.size()
    // until validated.
    std::uint64_t size = 0;
    double tmin = 0.0;
    double tmax = 0.0;
    bool is_interval = true;  // false: a point tier ("TextTier" in files)

    // The first violation among: the declared size, the tier's bounds, then
    // each item's own check followed by its overlap with the next item.
    // Returns an invalid-data error; never throws, never modifies the tier.
    static Status assert_valid(const Tier& tier);

    // The tier's block in the long layout; index is its 0-based position.
    // Never fails. Large tiers are rendered on the worker pool.
    std::string to_long_textgrid_string(std::uint64_t index) const;
    // The tier's lines in the short layout. Never fails.
    std::string to_short_textgrid_string() const;
};

struct TextGrid {
    std::string name;
    std::vector<Tier> tiers;
    double tmin = 0.0;
    double tmax = 0.0;
    // The tier count the source declared; may disagree with tiers.size()
    // until validated.
    std::uint64_t size = 0;

    // The declared tier count, the global bounds ("TextGrid"), then every
    // tier in order. Returns the first violation as an invalid-data error.
    static Status assert_valid(const TextGrid& textgrid);

    // The whole file text in either layout, CR LF line ends. Never fails.
    std::string to_long_textgrid_string() const;
    std::string to_short_textgrid_string() const;

    // Renders the long layout when long_format is true, else the short one,
    // and writes it to path (created with 0666 less umask, or truncated).
    // Returns an os error (with errno) when the file cannot be opened or
    // written; a file already truncated stays as the failed write left it.
    // Rendering, and so the text functions above, throw Interrupted when
    // the calling thread's interrupt check asks to stop (interrupt.h); the
    // file is not touched then.
    Status save_textgrid(const std::string& path, bool long_format) const;
};

// Fails with "Time bounds should be non-negative in {context}" or
// "tmin should be less than tmax in {context}". NaN bounds pass.
Status assert_valid_time_bounds(std::string_view context, double tmin, double tmax);

}  // namespace textgrid
