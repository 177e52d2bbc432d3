// The text file of the "praat" layout: the "ooTextFile" line, then the
// values of the TextGrid in order, wherever they stand.
#include <algorithm>
#include <cstring>

#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/layout/praat_detail.h"
#include "textgrid/layout/praat_read.h"

namespace textgrid {

namespace praat_detail {

std::string describe(const Place& place) {
    std::string out;
    switch (place.field) {
        case Field::object_class: return "object class";
        case Field::xmin: return "xmin";
        case Field::xmax: return "xmax";
        case Field::tiers_flag: return "tiers flag";
        case Field::tier_count: return "number of tiers";
        case Field::tier_class: out = "class"; break;
        case Field::tier_name: out = "name"; break;
        case Field::tier_xmin: out = "xmin"; break;
        case Field::tier_xmax: out = "xmax"; break;
        case Field::item_count: out = "number of items"; break;
        case Field::item_xmin: out = "xmin"; break;
        case Field::item_xmax: out = "xmax"; break;
        case Field::item_time: out = "time"; break;
        case Field::item_label: out = "label"; break;
        case Field::tier_number: return "tier number of item " + std::to_string(place.item);
    }
    if (place.item) out += " of item " + std::to_string(place.item);
    out += " of tier " + std::to_string(place.tier);
    return out;
}

bool class_is(std::string_view value, std::string_view name) noexcept {
    const std::size_t blank = value.find(' ');
    if (value.substr(0, blank) != name) return false;
    if (blank == std::string_view::npos) return true;
    // The version as atoi reads it: blanks, a sign, digits.
    std::string_view rest = value.substr(blank + 1);
    while (!rest.empty() && praat::is_ascii_blank(static_cast<unsigned char>(rest[0]))) rest.remove_prefix(1);
    bool negative = false;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.remove_prefix(1);
    }
    bool above_zero = false;
    for (char c : rest) {
        if (c < '0' || c > '9') break;
        above_zero |= c != '0';
    }
    return negative || !above_zero;
}

bool TextValues::failed(const Place& place, const char* wanted) {
    const char* found = nullptr;
    switch (reader_.problem()) {
        case praat::Problem::end:
            message_ = "the text ends where " + std::string(wanted) + " (" + describe(place) + ") was expected";
            break;
        case praat::Problem::string: found = "a string"; break;
        case praat::Problem::flag: found = "a flag"; break;
        case praat::Problem::number: found = "a number"; break;
        case praat::Problem::too_long:
            message_ = "found text of more than 40 characters where " + std::string(wanted) + " (" +
                       describe(place) + ") was expected";
            break;
        case praat::Problem::not_ascii:
            message_ = "found a number holding a character beyond ASCII where " + std::string(wanted) + " (" +
                       describe(place) + ") was expected";
            break;
        case praat::Problem::after_quote:
            message_ = "found \"" + std::string(reader_.after_quote()) + "\" right after the closing quote of the " +
                       describe(place);
            break;
        case praat::Problem::end_in_string: message_ = "the text ends inside the " + describe(place); break;
        case praat::Problem::end_in_flag: message_ = "the text ends inside the " + describe(place); break;
        case praat::Problem::out_of_range:
            message_ = "the " + describe(place) + " does not fit in 32 bits";
            break;
        case praat::Problem::nul: message_ = "a NUL byte"; break;  // read again without them
        case praat::Problem::none: message_ = "nothing read"; break;
    }
    if (found) message_ = "found " + std::string(found) + " where " + wanted + " (" + describe(place) + ") was expected";
    message_ = "line " + std::to_string(reader_.line_of(reader_.problem_at())) + ": " + message_;
    return false;
}

bool TextValues::fail_here(std::string what) {
    message_ = "line " + std::to_string(reader_.line_of(reader_.position())) + ": " + what;
    return false;
}

bool TextValues::undefined(const Place& place) {
    return fail_here("the " + describe(place) + " is undefined");
}

bool TextValues::integer(std::int64_t& out, const Place& place) {
    return reader_.integer(out) || failed(place, "an integer");
}

bool TextValues::flag(bool& exists, const Place& place) {
    std::string_view value;
    if (!reader_.flag(value)) return failed(place, "a flag");
    // Praat takes the name with its first letter in either case.
    if (!value.empty() && (value.substr(1) == "xists" || value.substr(1) == "bsent") &&
        (value[0] | 0x20) == (value[1] == 'x' ? 'e' : 'a')) {
        exists = value[1] == 'x';
        return true;
    }
    return fail_here("the flag <" + std::string(value) + "> is neither <exists> nor <absent>");
}

bool TextValues::tier_class(bool& is_interval, const Place& place, bool exact) {
    std::string value;
    if (!string(value, place)) return false;
    if (exact ? value == "IntervalTier" : class_is(value, "IntervalTier")) {
        is_interval = true;
    } else if (exact ? value == "TextTier" : class_is(value, "TextTier")) {
        is_interval = false;
    } else {
        return fail_here("unknown tier class \"" + value + "\" (" + describe(place) + ")");
    }
    return true;
}

bool TextValues::reversed(const Place& place) {
    Place where = place;
    where.field = place.field == Field::xmax        ? Field::xmin
                  : place.field == Field::tier_xmax ? Field::tier_xmin
                                                    : Field::item_xmin;
    return fail_here("the " + describe(place) + " is less than the " + describe(where));
}

}  // namespace praat_detail

using praat_detail::Field;
using praat_detail::Place;
using praat_detail::TextValues;

namespace {

// Reads with `read`; a text in which reading met a NUL byte is read again
// without its NUL bytes, as Praat reads it. Looking for them only where the
// reading meets them spares the common text a pass of its own.
template <class Read>
Result<TextGrid> read_without_nul(std::string_view text, std::string name, bool strict, Read read) {
    std::string copy;
    {
        TextValues values(text, strict);
        Result<TextGrid> grid = read(values, text, name);
        if (grid || !values.reader().stopped_at_nul()) return grid;
    }
    copy.reserve(text.size());
    for (const char c : text) {
        if (c) copy.push_back(c);
    }
    TextValues values(copy, strict);
    return read(values, std::string_view(copy), name);
}

// The shapes of item lines tried before the general reading: the lines
// Praat writes in the long layout, then those of the short one. The first
// item of another shape hands the rest of the tier to the next reading.
enum class Shape { long_lines, short_lines, general };

// The items `first` to `last` (from 1) of a tier, each kind and shape in a
// loop of its own: small loops keep the reader's position and the vector's
// end in registers.
template <bool interval, Shape shape>
bool read_items(TextValues& values, Tier& tier, std::uint32_t t, std::uint64_t first, std::uint64_t last);

template <bool interval, Shape shape>
[[gnu::always_inline]] inline bool items_loop(TextValues& values, Tier& tier, std::uint32_t t, std::uint64_t first,
                                              std::uint64_t last) {
    praat::ValueReader& reader = values.reader();
    InterruptPoller poller;  // a file of millions of items stops at Ctrl-C
    const Field start = interval ? Field::item_xmin : Field::item_time;
    for (std::uint64_t i = first; i <= last; ++i) {
        poller.tick();
        if constexpr (shape == Shape::long_lines) {
            const bool shaped = interval ? reader.skip_item_line("intervals") : reader.skip_item_line("points");
            if (!shaped) {
                return i == 1 ? read_items<interval, Shape::short_lines>(values, tier, t, i, last)
                              : read_items<interval, Shape::general>(values, tier, t, i, last);
            }
        }
        Item& item = tier.items.emplace_back();
        bool ok = true;
        if constexpr (shape == Shape::short_lines) {
            if (!(interval ? reader.line_interval(item.tmin, item.tmax, item.label)
                           : reader.line_point(item.tmin, item.label))) {
                tier.items.pop_back();
                return read_items<interval, Shape::general>(values, tier, t, i, last);
            }
        } else if constexpr (shape == Shape::long_lines) {
            if constexpr (interval) {
                ok = values.key_real("xmin", item.tmin, {start, t, i}) &&
                     values.key_real("xmax", item.tmax, {Field::item_xmax, t, i}) &&
                     values.key_string("text", item.label, {Field::item_label, t, i});
            } else {
                ok = values.key_real("number", item.tmin, {start, t, i}) &&
                     values.key_string("mark", item.label, {Field::item_label, t, i});
            }
        } else {
            ok = values.real(item.tmin, {start, t, i}) &&
                 (!interval || values.real(item.tmax, {Field::item_xmax, t, i})) &&
                 values.string(item.label, {Field::item_label, t, i});
        }
        if (!ok) return false;
        if constexpr (interval) {
            if (!values.bounds(item.tmin, item.tmax, {Field::item_xmax, t, i})) return false;
        } else {
            item.tmax = item.tmin;
        }
    }
    return true;
}

template <bool interval, Shape shape>
[[gnu::noinline]] bool read_items(TextValues& values, Tier& tier, std::uint32_t t, std::uint64_t first,
                                  std::uint64_t last) {
    return items_loop<interval, shape>(values, tier, t, first, last);
}

// The short layout's loops flattened, so that the item vector's growth and
// the label's copy are inline there (measured: the long layout's loop runs
// faster without).
template <>
[[gnu::noinline, gnu::flatten]] bool read_items<true, Shape::short_lines>(TextValues& values, Tier& tier,
                                                                        std::uint32_t t, std::uint64_t first,
                                                                        std::uint64_t last) {
    return items_loop<true, Shape::short_lines>(values, tier, t, first, last);
}
template <>
[[gnu::noinline, gnu::flatten]] bool read_items<false, Shape::short_lines>(TextValues& values, Tier& tier,
                                                                         std::uint32_t t, std::uint64_t first,
                                                                         std::uint64_t last) {
    return items_loop<false, Shape::short_lines>(values, tier, t, first, last);
}

Result<TextGrid> read_text(TextValues& values, std::string_view text, const std::string& name) {
    praat::ValueReader& reader = values.reader();
    reader.skip_line();  // the file type, known from the first bytes
    TextGrid grid;
    grid.name = name;
    std::string object_class;
    if (!values.string(object_class, {Field::object_class})) return values.error();
    if (!praat_detail::class_is(object_class, "TextGrid")) {
        return Error::invalid_data("not a TextGrid file: its object class is \"" + object_class + "\"");
    }
    bool exists = false;
    if (!values.real(grid.tmin, {Field::xmin}) || !values.real(grid.tmax, {Field::xmax}) ||
        !values.bounds(grid.tmin, grid.tmax, {Field::xmax}) || !values.flag(exists, {Field::tiers_flag})) {
        return values.error();
    }
    if (!exists) return grid;
    std::int64_t tier_count = 0;
    if (!values.integer(tier_count, {Field::tier_count})) return values.error();
    tier_count = std::max<std::int64_t>(tier_count, 0);
    grid.size = static_cast<std::uint64_t>(tier_count);
    // Reserved from the count only as far as the text could hold it.
    grid.tiers.reserve(std::min<std::size_t>(static_cast<std::size_t>(tier_count), text.size() / 16));
    for (std::uint32_t t = 1; t <= tier_count; ++t) {
        Tier& tier = grid.tiers.emplace_back();
        std::int64_t count = 0;
        if (!values.tier_class(tier.is_interval, {Field::tier_class, t}, false) ||
            !values.string(tier.name, {Field::tier_name, t}) || !values.real(tier.tmin, {Field::tier_xmin, t}) ||
            !values.real(tier.tmax, {Field::tier_xmax, t}) || !values.bounds(tier.tmin, tier.tmax, {Field::tier_xmax, t}) ||
            !values.integer(count, {Field::item_count, t})) {
            return values.error();
        }
        count = std::max<std::int64_t>(count, 0);
        tier.size = static_cast<std::uint64_t>(count);
        const std::size_t left = static_cast<std::size_t>(text.data() + text.size() - reader.position());
        detail::reserve_filled_soon(
            tier.items, std::min<std::size_t>(static_cast<std::size_t>(count), left / (tier.is_interval ? 6 : 4)));
        // The long layout's item lines are tried first in the shape Praat
        // writes; values found so are those the general reading would find.
        const auto n = static_cast<std::uint64_t>(count);
        if (!(tier.is_interval ? read_items<true, Shape::long_lines>(values, tier, t, 1, n)
                               : read_items<false, Shape::long_lines>(values, tier, t, 1, n))) {
            return values.error();
        }
    }
    return grid;
}

Result<TextGrid> read_chronological(TextValues& values, std::string_view text, const std::string& name) {
    praat::ValueReader& reader = values.reader();
    TextGrid grid;
    grid.name = name;
    std::string header;
    std::int64_t tier_count = 0;
    if (!values.string(header, {Field::object_class}) || !values.real(grid.tmin, {Field::xmin}) ||
        !values.real(grid.tmax, {Field::xmax}) || !values.bounds(grid.tmin, grid.tmax, {Field::xmax}) ||
        !values.integer(tier_count, {Field::tier_count})) {
        return values.error();
    }
    tier_count = std::max<std::int64_t>(tier_count, 0);
    grid.size = static_cast<std::uint64_t>(tier_count);
    grid.tiers.reserve(std::min<std::size_t>(static_cast<std::size_t>(tier_count), text.size() / 16));
    for (std::uint32_t t = 1; t <= tier_count; ++t) {
        Tier& tier = grid.tiers.emplace_back();
        if (!values.tier_class(tier.is_interval, {Field::tier_class, t}, true) ||
            !values.string(tier.name, {Field::tier_name, t}) || !values.real(tier.tmin, {Field::tier_xmin, t}) ||
            !values.real(tier.tmax, {Field::tier_xmax, t}) || !values.bounds(tier.tmin, tier.tmax, {Field::tier_xmax, t})) {
            return values.error();
        }
    }
    InterruptPoller poller;
    for (std::uint64_t entry = 1; !reader.only_comment_left(); ++entry) {
        poller.tick();
        std::int64_t number = 0;
        if (!values.integer(number, {Field::tier_number, 0, entry})) return values.error();
        if (number < 1 || number > tier_count) {
            values.fail_here("tier number " + std::to_string(number) + " of item " + std::to_string(entry) +
                             " is not between 1 and " + std::to_string(tier_count));
            return values.error();
        }
        const auto t = static_cast<std::uint32_t>(number);
        Tier& tier = grid.tiers[t - 1];
        Item& item = tier.items.emplace_back();
        const std::uint64_t i = tier.items.size();
        if (tier.is_interval) {
            if (!values.real(item.tmin, {Field::item_xmin, t, i}) || !values.real(item.tmax, {Field::item_xmax, t, i}) ||
                !values.string(item.label, {Field::item_label, t, i}) ||
                !values.bounds(item.tmin, item.tmax, {Field::item_xmax, t, i})) {
                return values.error();
            }
        } else {
            if (!values.real(item.tmin, {Field::item_time, t, i}) || !values.string(item.label, {Field::item_label, t, i})) {
                return values.error();
            }
            item.tmax = item.tmin;
        }
    }
    for (Tier& tier : grid.tiers) {
        tier.size = tier.items.size();
        std::stable_sort(tier.items.begin(), tier.items.end(),
                         [](const Item& a, const Item& b) {
                             // Undefined times go last, keeping the order strict.
                             return a.tmin < b.tmin || (b.tmin != b.tmin && a.tmin == a.tmin);
                         });
    }
    return grid;
}

}  // namespace

Result<TextGrid> parse_praat_text(std::string_view text, std::string name, bool strict) {
    return read_without_nul(text, std::move(name), strict, read_text);
}

Result<TextGrid> parse_praat_chronological(std::string_view text, std::string name, bool strict) {
    return read_without_nul(text, std::move(name), strict, read_chronological);
}

}  // namespace textgrid
