#include <cstddef>
#include <string>
#include <vector>

#include "textgrid/model/converter.h"
#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"

namespace textgrid {

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

}  // namespace textgrid
