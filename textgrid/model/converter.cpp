// The conversions between a TextGrid and the caller's shapes, both ways:
// to tier data and to columns, and building a validated TextGrid from
// either.
#include "textgrid/model/converter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/os/pool.h"

namespace textgrid {

// ---- from a TextGrid ----------------------------------------------------------

TextGridData to_data(const TextGrid& textgrid) {
    std::size_t longest = 0;
    for (const Tier& tier : textgrid.tiers) longest = std::max(longest, tier.items.size());
    const std::size_t cpus = cpus_for(longest);
    TextGridData data;
    data.tmin = textgrid.tmin;
    data.tmax = textgrid.tmax;
    data.tiers.reserve(textgrid.tiers.size());
    for (const Tier& tier : textgrid.tiers) {
        poll_interrupt();
        TierData& out = data.tiers.emplace_back();
        out.name = tier.name;
        out.is_interval = tier.is_interval;
        detail::reserve_filled_soon(out.items, tier.items.size());
        out.items.resize(tier.items.size());
        // Each piece fills only its own slots, so no lock is needed.
        parallel_for(tier.items.size(), cpus, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const Item& item = tier.items[i];
                out.items[i] = ItemData{item.tmin, item.tmax, item.label};
            }
        });
    }
    return data;
}

TextGridVectors to_vectors(const TextGrid& textgrid) {
    std::size_t rows = 0;
    std::size_t runs = 0;
    for (const Tier& tier : textgrid.tiers) {
        rows += tier.items.size();
        if (!tier.items.empty()) ++runs;
    }

    // Sized once up front: the columns then hold no slack, which matters for
    // buffers that outlive the call inside NumPy arrays.
    TextGridVectors out;
    out.tmins.reserve(rows);
    out.tmaxs.reserve(rows);
    out.is_intervals.reserve(rows);
    detail::reserve_filled_soon(out.labels, rows);
    out.tier_names.reserve(runs);

    for (const Tier& tier : textgrid.tiers) {
        if (tier.items.empty()) continue;
        out.tier_names.push_back({tier.name, tier.items.size()});
        out.is_intervals.append_copies(tier.is_interval, tier.items.size());
        InterruptPoller poller;
        for (const Item& item : tier.items) {
            poller.tick();
            out.tmins.push_back(item.tmin);
            out.tmaxs.push_back(item.tmax);
            out.labels.push_back(item.label);
        }
    }
    return out;
}

// ---- to a TextGrid --------------------------------------------------------------

namespace {

// Derived bounds start from the largest finite double and combine with
// fmin/fmax (IEEE minNum/maxNum), so NaN times are skipped and a list of
// NaNs alone leaves the starting value.
constexpr double kLargest = std::numeric_limits<double>::max();

double min_tmin(const std::vector<Item>& items) {
    double m = kLargest;
    for (const Item& item : items) m = std::fmin(m, item.tmin);
    return m;
}

double max_tmax(const std::vector<Item>& items) {
    double m = -kLargest;
    for (const Item& item : items) m = std::fmax(m, item.tmax);
    return m;
}

Tier make_tier(std::string name, std::vector<Item> items, bool is_interval, std::optional<double> tmin,
               std::optional<double> tmax) {
    Tier tier;
    tier.tmin = tmin ? *tmin : min_tmin(items);
    tier.tmax = tmax ? *tmax : max_tmax(items);
    tier.size = items.size();
    tier.name = std::move(name);
    tier.items = std::move(items);
    tier.is_interval = is_interval;
    return tier;
}

std::vector<Item> take_items(std::vector<ItemData>& data, std::size_t cpus) {
    std::vector<Item> items(data.size());
    parallel_for(data.size(), cpus, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            items[i].label = std::move(data[i].label);
            items[i].tmin = data[i].tmin;
            items[i].tmax = data[i].tmax;
        }
    });
    data = {};
    return items;
}

constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

// One tier of from_vectors while its rows are gathered.
struct TierRows {
    std::size_t first_row;
    bool is_interval;
    std::vector<Item> items;
    std::size_t nan_row = kNoRow;  // the first row whose tmin is NaN
};

}  // namespace

Result<TextGrid> make_textgrid(std::vector<Tier> tiers, std::optional<std::string> name, std::optional<double> tmin,
                               std::optional<double> tmax) {
    TextGrid tg;
    tg.name = name ? std::move(*name) : std::string("ConvertedTextGrid");
    if (tmin) {
        tg.tmin = *tmin;
    } else if (!tiers.empty()) {
        tg.tmin = kLargest;
        for (const Tier& tier : tiers) tg.tmin = std::fmin(tg.tmin, tier.tmin);
    }
    if (tmax) {
        tg.tmax = *tmax;
    } else if (!tiers.empty()) {
        tg.tmax = -kLargest;
        for (const Tier& tier : tiers) tg.tmax = std::fmax(tg.tmax, tier.tmax);
    }
    tg.size = tiers.size();
    tg.tiers = std::move(tiers);
    if (auto st = TextGrid::assert_valid(tg); !st) return std::move(st.error());
    return tg;
}

Result<TextGrid> from_data(std::vector<TierData> data, std::optional<std::string> name, std::optional<double> tmin,
                           std::optional<double> tmax) {
    // One CPU count for the whole grid, and none for a grid of short tiers:
    // reading it takes a system call, which costs more than a small tier.
    std::size_t longest = 0;
    for (const TierData& td : data) longest = std::max(longest, td.items.size());
    const std::size_t cpus = cpus_for(longest);
    std::vector<Tier> tiers;
    tiers.reserve(data.size());
    for (TierData& td : data) {
        // An empty tier has no items to span, so it is left out entirely.
        if (td.items.empty()) continue;
        std::vector<Item> items = take_items(td.items, cpus);
        tiers.push_back(make_tier(std::move(td.name), std::move(items), td.is_interval, tmin, tmax));
    }
    data = {};
    return make_textgrid(std::move(tiers), std::move(name), tmin, tmax);
}

Result<TextGrid> from_vectors(std::vector<double> tmins, std::vector<double> tmaxs, std::vector<std::string> labels,
                              std::vector<std::string> tier_names, std::vector<bool> is_intervals,
                              std::optional<double> tmin, std::optional<double> tmax,
                              std::optional<std::string> name) {
    const std::size_t n = tmins.size();
    if (tmaxs.size() != n || labels.size() != n || tier_names.size() != n || is_intervals.size() != n) {
        return Error::invalid_input("Input vectors must have the same length");
    }

    // First every row learns its tier, so that each tier's items can be
    // reserved at their final count. The keys view the strings of
    // tier_names, which stay in place until every row has been placed.
    std::unordered_map<std::string_view, std::size_t> index;
    std::vector<TierRows> groups;  // in order of first appearance
    std::vector<std::size_t> group_of(n);
    std::vector<std::size_t> counts;
    InterruptPoller poller;
    for (std::size_t i = 0; i < n; ++i) {
        poller.tick();
        std::size_t g;
        // Rows of one tier usually come together; a comparison with the
        // previous row's name spares the hashing.
        if (i > 0 && tier_names[i] == tier_names[i - 1]) {
            g = group_of[i - 1];
        } else {
            auto [it, added] = index.try_emplace(tier_names[i], groups.size());
            if (added) {
                groups.push_back(TierRows{i, is_intervals[i], {}});
                counts.push_back(0);
            }
            g = it->second;
        }
        group_of[i] = g;
        ++counts[g];
        if (std::isnan(tmins[i]) && groups[g].nan_row == kNoRow) groups[g].nan_row = i;
    }
    index.clear();
    for (std::size_t g = 0; g < groups.size(); ++g) groups[g].items.reserve(counts[g]);
    for (std::size_t i = 0; i < n; ++i) {
        poller.tick();
        groups[group_of[i]].items.push_back(Item{std::move(labels[i]), tmins[i], tmaxs[i]});
    }

    std::vector<Tier> tiers;
    tiers.reserve(groups.size());
    for (TierRows& group : groups) {
        std::vector<Item>& items = group.items;
        std::string& tier_name = tier_names[group.first_row];
        if (items.size() >= 2) {
            // NaN has no place in an order by start time (and would break
            // the comparator's strict weak ordering). A lone row needs no
            // order, so it is left to validation.
            if (group.nan_row != kNoRow) {
                return Error::invalid_data("Cannot sort tier " + tier_name + " by start time: row " +
                                           std::to_string(group.nan_row) + " has a NaN tmin");
            }
            auto by_start = [](const Item& a, const Item& b) { return a.tmin < b.tmin; };
            // Rows mostly arrive in order already; a stable sort would still
            // merge them all.
            if (!std::is_sorted(items.begin(), items.end(), by_start)) {
                std::stable_sort(items.begin(), items.end(), by_start);
            }
        }
        tiers.push_back(make_tier(std::move(tier_name), std::move(items), group.is_interval, tmin, tmax));
    }
    return make_textgrid(std::move(tiers), std::move(name), tmin, tmax);
}

}  // namespace textgrid
