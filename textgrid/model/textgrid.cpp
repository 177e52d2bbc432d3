#include "textgrid/model/textgrid.h"

#include <cmath>

namespace textgrid {

namespace {

Status fail(std::string message) { return Error::invalid_data(std::move(message)); }

// The message prefix for a bad pair of bounds, or nullptr when they pass.
// Written as conditions for failing, so that NaN (every comparison false)
// passes. Kept apart from the message so that valid items cost no string.
const char* bounds_violation(double tmin, double tmax) noexcept {
    if (tmin < 0 || tmax <= 0) return "Time bounds should be non-negative in ";
    if (tmax - tmin <= kTolerance) return "tmin should be less than tmax in ";
    return nullptr;
}

}  // namespace

Status assert_valid_time_bounds(std::string_view context, double tmin, double tmax) {
    if (const char* prefix = bounds_violation(tmin, tmax)) return fail(prefix + std::string(context));
    return Ok{};
}

Status Tier::assert_valid(const Tier& tier) {
    const std::size_t n = tier.items.size();
    if (tier.size != n) return fail("Tier size does not match number of items");
    if (auto st = assert_valid_time_bounds("tier " + tier.name, tier.tmin, tier.tmax); !st) return st;

    for (std::size_t i = 0; i < n; ++i) {
        const Item& item = tier.items[i];
        if (tier.is_interval) {
            if (const char* prefix = bounds_violation(item.tmin, item.tmax)) {
                return fail(prefix + ("item " + std::to_string(i)) + " in tier " + tier.name);
            }
        } else if (std::fabs(item.tmin - item.tmax) > kTolerance) {
            return fail("Item " + std::to_string(i) + " should have tmin == tmax in PointTier " + tier.name);
        }
        if (i + 1 < n && item.tmax - tier.items[i + 1].tmin > kTolerance) {
            return fail("Items " + std::to_string(i) + " and " + std::to_string(i + 1) + " overlap in tier " +
                        tier.name);
        }
    }
    return Ok{};
}

Status TextGrid::assert_valid(const TextGrid& textgrid) {
    if (textgrid.size != textgrid.tiers.size()) return fail("TextGrid size does not match number of tiers");
    if (auto st = assert_valid_time_bounds("TextGrid", textgrid.tmin, textgrid.tmax); !st) return st;
    for (const Tier& tier : textgrid.tiers) {
        if (auto st = Tier::assert_valid(tier); !st) return st;
    }
    return Ok{};
}

}  // namespace textgrid
