// The number reader's tables and the paths it leaves the inline code for.
// Where its constants come from: number_read.h.
#include "textgrid/text/number.h"

#include <charconv>
#include <limits>
#include <string_view>

#include "textgrid/text/number_read.h"
#include "textgrid/text/text_scan.h"

namespace textgrid::scan {

namespace detail {

// 5^q as a 128-bit fraction with its top bit set; see tools/powers_of_five.py.
const Pow5 kPowersOfFive[] = {
#include "textgrid/text/powers_of_five.inc"
};
static_assert(sizeof(kPowersOfFive) / sizeof(Pow5) == kMaxPower - kMinPower + 1);

double convert_slowly(const char* first, const char* last, std::int64_t exponent_of_lead) noexcept {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        return exponent_of_lead >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    if (ec != std::errc() || ptr != last) return 0.0;
    return value;
}

}  // namespace detail

namespace {

bool iequals(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// The spellings of infinity and NaN; anything else is no number (0.0,
// whatever its sign).
bool special(std::string_view s, double& out) noexcept {
    if (iequals(s, "inf") || iequals(s, "infinity")) {
        out = std::numeric_limits<double>::infinity();
    } else if (iequals(s, "nan")) {
        out = std::numeric_limits<double>::quiet_NaN();
    } else {
        return false;
    }
    return true;
}

}  // namespace

double parse_number(std::string_view s) noexcept { return parse_number(s, s.data() + s.size()); }

double parse_number(std::string_view s, const char* readable_end) noexcept {
    const char* const begin = s.data();
    const char* const end = begin + s.size();
    double value = 0.0;
    if (const char* stop = detail::read_decimal(begin, end, readable_end, value)) return stop == end ? value : 0.0;
    // No digits: the spellings of infinity and NaN, after an optional sign.
    const bool signed_ = begin != end && (*begin == '+' || *begin == '-');
    if (!special({begin + signed_, static_cast<std::size_t>(end - begin - signed_)}, value)) return 0.0;
    return signed_ && *begin == '-' ? -value : value;
}

}  // namespace textgrid::scan
