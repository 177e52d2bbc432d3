// What the "praat" readers share: naming the value being read for the
// messages, and the checks Praat makes on what it read.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "textgrid/base/result.h"
#include "textgrid/model/textgrid.h"
#include "textgrid/text/praat_values.h"

namespace textgrid::praat_detail {

// The value a reader is after, for messages: "xmax of tier 2",
// "label of item 3 of tier 1". Tiers and items count from 1; 0 is none.
enum class Field {
    object_class, xmin, xmax, tiers_flag, tier_count,
    tier_class, tier_name, tier_xmin, tier_xmax, item_count,
    item_xmin, item_xmax, item_time, item_label,
    tier_number,
};

struct Place {
    Field field;
    std::uint32_t tier = 0;
    std::uint64_t item = 0;
};

std::string describe(const Place& place);

// A class string as Praat takes it: the name up to the first blank, then a
// version number that must not be above 0. "TextGrid", "TextGrid 0".
bool class_is(std::string_view value, std::string_view name) noexcept;

// Reading values with the messages of the "praat" layout.
class TextValues {
public:
    TextValues(std::string_view text, bool strict) noexcept : reader_(text), strict_(strict) {}

    praat::ValueReader& reader() noexcept { return reader_; }

    [[gnu::always_inline]] bool real(double& out, const Place& place) {
        if (!reader_.real(out)) return failed(place, "a number");
        if (strict_ && !std::isfinite(out)) return undefined(place);
        return true;
    }
    // real() and string() with the shortcut of the line Praat writes for
    // them in the long layout.
    template <std::size_t N>
    [[gnu::always_inline]] bool key_real(const char (&key)[N], double& out, const Place& place) {
        if (!reader_.key_real(key, out)) return real(out, place);
        if (strict_ && !std::isfinite(out)) return undefined(place);
        return true;
    }
    template <std::size_t N>
    [[gnu::always_inline]] bool key_string(const char (&key)[N], std::string& out, const Place& place) {
        return reader_.key_string(key, out) || string(out, place);
    }
    bool integer(std::int64_t& out, const Place& place);
    [[gnu::always_inline]] bool string(std::string& out, const Place& place) {
        return reader_.string(out) || failed(place, "a string");
    }
    bool flag(bool& exists, const Place& place);
    // A tier's class string; false for an unknown one (then error() says so).
    bool tier_class(bool& is_interval, const Place& place, bool exact);
    // Refuses xmax < xmin, as Praat does for the grid, each tier and each
    // interval.
    [[gnu::always_inline]] bool bounds(double xmin, double xmax, const Place& place) {
        return !(xmax < xmin) || reversed(place);
    }

    Error error() { return Error::invalid_data(std::move(message_)); }
    bool fail_here(std::string what);

private:
    bool failed(const Place& place, const char* wanted);
    bool undefined(const Place& place);
    bool reversed(const Place& place);

    praat::ValueReader reader_;
    bool strict_;
    std::string message_;
};

}  // namespace textgrid::praat_detail
