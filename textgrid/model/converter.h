// Conversions between a TextGrid and the shapes handed to and taken from
// callers: tier-structured data and columnar vectors.
//
// Each of them also throws Interrupted when the calling thread installed an
// interrupt check that asked to stop (interrupt.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "textgrid/base/column.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

// One interval or point as (tmin, tmax, label); note the order differs from Item.
struct ItemData {
    double tmin = 0.0;
    double tmax = 0.0;
    std::string label;
};

struct TierData {
    std::string name;
    bool is_interval = true;
    std::vector<ItemData> items;
};

// The global bounds and the tiers; no name, no declared size, no tier bounds.
struct TextGridData {
    double tmin = 0.0;
    double tmax = 0.0;
    std::vector<TierData> tiers;
};

// Copies every name and label; the items of a tier of at least 10 x N items
// are converted on the worker pool. Never fails. May throw std::bad_alloc.
TextGridData to_data(const TextGrid& textgrid);

// Builds and validates a TextGrid from tier data, taking the data over.
// Empty tiers are dropped; absent bounds are derived from the items.
// Returns the first validation error (invalid data).
Result<TextGrid> from_data(std::vector<TierData> data, std::optional<std::string> name,
                           std::optional<double> tmin, std::optional<double> tmax);

// The common last step of from_data and from_vectors: fills in the name
// ("ConvertedTextGrid" when none) and absent global bounds, then validates.
Result<TextGrid> make_textgrid(std::vector<Tier> tiers, std::optional<std::string> name,
                               std::optional<double> tmin, std::optional<double> tmax);

// ---- Columnar vectors -------------------------------------------------------

// Rows that come from one tier: its name once, and how many consecutive rows
// carry it. Storing the name per run instead of per row keeps a table of a
// million rows from holding a million copies of three names, and lets the
// Python side hand out one shared str per tier.
struct TierNameRun {
    std::string name;
    std::size_t rows = 0;
};

// One row per item, tier by tier in tier order and within a tier in item
// order. tmins, tmaxs, labels and is_intervals hold one element per row;
// tier_names holds one run per tier that has items (an empty tier has no
// rows and no run), and the runs' row counts add up to the row count.
struct TextGridVectors {
    Column<double> tmins;
    Column<double> tmaxs;
    std::vector<std::string> labels;
    std::vector<TierNameRun> tier_names;
    Column<bool> is_intervals;

    std::size_t rows() const noexcept { return tmins.size(); }
};

// Copies every item of every tier into the columns; leaves the TextGrid
// untouched. Never fails; may throw std::bad_alloc.
TextGridVectors to_vectors(const TextGrid& textgrid);

// ---- end of columnar vectors ------------------------------------------------

// Groups rows into tiers by exact tier name (first appearance decides the
// order and the tier kind), sorts each tier stably by tmin and finishes with
// make_textgrid. Fails with invalid input "Input vectors must have the same
// length", with an error for a NaN start in a tier of two or more rows, or
// with a validation error.
Result<TextGrid> from_vectors(std::vector<double> tmins, std::vector<double> tmaxs, std::vector<std::string> labels,
                              std::vector<std::string> tier_names, std::vector<bool> is_intervals,
                              std::optional<double> tmin, std::optional<double> tmax,
                              std::optional<std::string> name);

}  // namespace textgrid
