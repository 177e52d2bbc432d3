#include <algorithm>

#include "textgrid/model/converter.h"
#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/os/pool.h"

namespace textgrid {

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

}  // namespace textgrid
