// What the fuzz targets share: running a reader so that its fatal failure is
// an outcome like any other, and comparing the outcomes of two reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "textgrid/model/converter.h"
#include "textgrid/base/result.h"
#include "textgrid/model/textgrid.h"

namespace fuzz {

// Stops the run with a message libFuzzer keeps next to the crashing input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Doubles compare by bit pattern: -0.0 is not 0.0 and a NaN equals itself.
inline bool same_bits(double a, double b) noexcept {
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// What a reader gave: a grid, or the message of the fatal failure it threw.
struct Outcome {
    bool fatal = false;
    std::string message;
    textgrid::TextGrid grid;
};

template <class Parse>
Outcome run_reader(Parse&& parse) {
    Outcome out;
    try {
        out.grid = parse();
    } catch (const textgrid::FatalReadError& e) {
        out.fatal = true;
        out.message = e.message();
    }
    return out;
}

// How closely two grids must agree. `same_reading`: two reads of one text,
// bit for bit, declared sizes too. `as_written`: a grid against what its
// written text reads back as. Writers put down the counts they write, not
// the ones a source declared; a point keeps one time in either layout, where
// a lenient read may have given it an end of its own; and a NaN is written
// as "NaN" whatever its sign ("-nan" reads as a negative one).
enum class Match { same_reading, as_written };

inline bool same_value(double a, double b, Match match) noexcept {
    return same_bits(a, b) || (match == Match::as_written && a != a && b != b);
}

inline bool same_items(const textgrid::Tier& a, const textgrid::Tier& b, Match match) {
    if (a.items.size() != b.items.size()) return false;
    const bool point_ends = a.is_interval || match == Match::same_reading;
    for (std::size_t i = 0; i < a.items.size(); ++i) {
        const textgrid::Item& x = a.items[i];
        const textgrid::Item& y = b.items[i];
        if (x.label != y.label || !same_value(x.tmin, y.tmin, match)) return false;
        if (point_ends && !same_value(x.tmax, y.tmax, match)) return false;
    }
    return true;
}

// Everything a file can hold.
inline bool same_grid(const textgrid::TextGrid& a, const textgrid::TextGrid& b, Match match) {
    const bool sizes = match == Match::same_reading;
    if (!same_value(a.tmin, b.tmin, match) || !same_value(a.tmax, b.tmax, match) || a.tiers.size() != b.tiers.size())
        return false;
    if (sizes && a.size != b.size) return false;
    for (std::size_t t = 0; t < a.tiers.size(); ++t) {
        const textgrid::Tier& x = a.tiers[t];
        const textgrid::Tier& y = b.tiers[t];
        if (x.name != y.name || x.is_interval != y.is_interval) return false;
        if (!same_value(x.tmin, y.tmin, match) || !same_value(x.tmax, y.tmax, match)) return false;
        if (sizes && x.size != y.size) return false;
        if (!same_items(x, y, match)) return false;
    }
    return true;
}

inline bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.fatal || b.fatal) return a.fatal == b.fatal && a.message == b.message;
    return a.grid.name == b.grid.name && same_grid(a.grid, b.grid, Match::same_reading);
}

// What every successful read is put through: validation and both
// conversions, whose results must account for every item.
inline void exercise(const textgrid::TextGrid& grid) {
    (void)textgrid::TextGrid::assert_valid(grid);
    std::size_t items = 0;
    for (const textgrid::Tier& tier : grid.tiers) items += tier.items.size();
    const textgrid::TextGridData data = textgrid::to_data(grid);
    check(data.tiers.size() == grid.tiers.size(), "to_data keeps every tier");
    const textgrid::TextGridVectors vectors = textgrid::to_vectors(grid);
    check(vectors.rows() == items && vectors.labels.size() == items && vectors.is_intervals.size() == items,
          "to_vectors gives one row per item");
}

}  // namespace fuzz
