// Praat's binary TextGrid file: big-endian numbers, strings with a 16-bit
// length. Every read is checked against the end of the bytes first, so no
// count in the file makes the reader go past it.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "textgrid/base/interrupt.h"
#include "textgrid/layout/praat_detail.h"
#include "textgrid/layout/praat_read.h"

namespace textgrid {

namespace {

using praat_detail::Field;
using praat_detail::Place;

class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes) noexcept
        : begin_(bytes.data()), p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    bool skip(std::size_t n, const Place& place) {
        if (!have(n, place)) return false;
        p_ += n;
        return true;
    }
    bool byte(std::uint8_t& out, const Place& place) {
        if (!have(1, place)) return false;
        out = static_cast<std::uint8_t>(*p_++);
        return true;
    }
    bool u16(std::uint16_t& out, const Place& place) {
        if (!have(2, place)) return false;
        out = static_cast<std::uint16_t>(static_cast<unsigned char>(p_[0]) << 8 | static_cast<unsigned char>(p_[1]));
        p_ += 2;
        return true;
    }
    bool i32(std::int64_t& out, const Place& place) {
        if (!have(4, place)) return false;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(p_[i]);
        out = static_cast<std::int32_t>(v);
        p_ += 4;
        return true;
    }
    bool real(double& out, const Place& place) {
        if (!have(8, place)) return false;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<unsigned char>(p_[i]);
        p_ += 8;
        out = std::bit_cast<double>(v);
        return true;
    }
    // A class name: a length byte and that many bytes.
    bool short_string(std::string& out, const Place& place) {
        std::uint8_t n = 0;
        if (!byte(n, place) || !have(n, place)) return false;
        out.assign(p_, n);
        p_ += n;
        return true;
    }
    // A name or label: Latin-1 after a 16-bit length, or after 0xFFFF a
    // 16-bit count of characters in UTF-16 (a surrogate pair counting as
    // one character). A NUL ends it, as Praat reads it.
    bool text(std::string& out, const Place& place) {
        std::uint16_t n = 0;
        if (!u16(n, place)) return false;
        out.clear();
        if (n != 0xFFFF) {
            if (!have(n, place)) return false;
            const char* const stop = p_ + n;
            const void* nul = std::memchr(p_, 0, n);
            const char* const text_end = nul ? static_cast<const char*>(nul) : stop;
            for (const char* q = p_; q != text_end; ++q) put(out, static_cast<unsigned char>(*q));
            p_ = stop;
            return true;
        }
        if (!u16(n, place)) return false;
        bool ended = false;
        for (std::uint16_t i = 0; i < n; ++i) {
            std::uint16_t unit = 0;
            if (!u16(unit, place)) return false;
            char32_t cp = unit;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                std::uint16_t low = 0;
                if (!u16(low, place)) return false;
                if (low < 0xDC00 || low > 0xDFFF) return unpaired(place);
                cp = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (low - 0xDC00u);
            } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                return unpaired(place);
            }
            ended |= cp == 0;
            if (!ended) put(out, cp);
        }
        return true;
    }

    std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }
    Error error() { return Error::invalid_data(std::move(message_)); }
    bool fail(std::string message) {
        message_ = std::move(message);
        return false;
    }

private:
    bool have(std::size_t n, const Place& place) {
        if (left() >= n) return true;
        return fail("binary TextGrid file ends at byte " + std::to_string(end_ - begin_) + " inside the " +
                    praat_detail::describe(place));
    }
    bool unpaired(const Place& place) {
        return fail("binary TextGrid file holds an unpaired UTF-16 surrogate before byte " + std::to_string(offset()) +
                    " in the " + praat_detail::describe(place));
    }
    static void put(std::string& out, char32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | cp >> 6));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | cp >> 12));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | cp >> 18));
            out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    std::string message_;
};

constexpr std::string_view kMagic = "ooBinaryFile";

bool check_bounds(BinaryReader& in, double xmin, double xmax, const Place& place) {
    if (!(xmax < xmin)) return true;
    return in.fail("binary TextGrid file: the " + praat_detail::describe(place) + " is less than the xmin, before byte " +
                   std::to_string(in.offset()));
}

}  // namespace

Result<TextGrid> parse_praat_binary(std::string_view bytes, std::string name) {
    BinaryReader in(bytes);
    TextGrid grid;
    grid.name = std::move(name);
    std::string object_class;
    std::uint8_t exists = 0;
    if (!in.skip(kMagic.size(), {Field::object_class}) || !in.short_string(object_class, {Field::object_class})) {
        return in.error();
    }
    if (!praat_detail::class_is(object_class, "TextGrid")) {
        return Error::invalid_data("not a TextGrid file: a binary file of object class \"" + object_class + "\"");
    }
    if (!in.real(grid.tmin, {Field::xmin}) || !in.real(grid.tmax, {Field::xmax}) ||
        !check_bounds(in, grid.tmin, grid.tmax, {Field::xmax}) || !in.byte(exists, {Field::tiers_flag})) {
        return in.error();
    }
    if (!exists) return grid;
    std::int64_t tier_count = 0;
    if (!in.i32(tier_count, {Field::tier_count})) return in.error();
    tier_count = std::max<std::int64_t>(tier_count, 0);
    grid.size = static_cast<std::uint64_t>(tier_count);
    // A tier takes at least 23 bytes, an item 10: counts beyond what the
    // bytes can hold reserve nothing more.
    grid.tiers.reserve(std::min<std::size_t>(static_cast<std::size_t>(tier_count), in.left() / 23));
    InterruptPoller poller;
    for (std::uint32_t t = 1; t <= tier_count; ++t) {
        Tier& tier = grid.tiers.emplace_back();
        std::string tier_class;
        std::int64_t count = 0;
        if (!in.short_string(tier_class, {Field::tier_class, t})) return in.error();
        if (praat_detail::class_is(tier_class, "IntervalTier")) {
            tier.is_interval = true;
        } else if (praat_detail::class_is(tier_class, "TextTier")) {
            tier.is_interval = false;
        } else {
            return Error::invalid_data("binary TextGrid file: unknown tier class \"" + tier_class + "\" (class of tier " +
                                       std::to_string(t) + ") before byte " + std::to_string(in.offset()));
        }
        if (!in.text(tier.name, {Field::tier_name, t}) || !in.real(tier.tmin, {Field::tier_xmin, t}) ||
            !in.real(tier.tmax, {Field::tier_xmax, t}) || !check_bounds(in, tier.tmin, tier.tmax, {Field::tier_xmax, t}) ||
            !in.i32(count, {Field::item_count, t})) {
            return in.error();
        }
        count = std::max<std::int64_t>(count, 0);
        tier.size = static_cast<std::uint64_t>(count);
        tier.items.reserve(std::min<std::size_t>(static_cast<std::size_t>(count), in.left() / 10));
        for (std::uint64_t i = 1; i <= static_cast<std::uint64_t>(count); ++i) {
            poller.tick();
            Item& item = tier.items.emplace_back();
            if (tier.is_interval) {
                if (!in.real(item.tmin, {Field::item_xmin, t, i}) || !in.real(item.tmax, {Field::item_xmax, t, i}) ||
                    !in.text(item.label, {Field::item_label, t, i}) ||
                    !check_bounds(in, item.tmin, item.tmax, {Field::item_xmax, t, i})) {
                    return in.error();
                }
            } else {
                if (!in.real(item.tmin, {Field::item_time, t, i}) || !in.text(item.label, {Field::item_label, t, i})) {
                    return in.error();
                }
                item.tmax = item.tmin;
            }
        }
    }
    return grid;
}

}  // namespace textgrid
