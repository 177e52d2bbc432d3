#include "textgrid/layout/parser_short.h"

#include <algorithm>

#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/layout/tier_class.h"
#include "textgrid/text/number.h"
#include "textgrid/text/text_scan.h"

namespace textgrid {

namespace {

class ShortParser {
public:
    explicit ShortParser(std::string_view text) : lines_(text) {}

    TextGrid run(std::string name) {
        TextGrid grid;
        grid.name = std::move(name);
        // Lines 0 to 2 ("File type", "Object class", blank) are not read.
        for (int i = 0; i < 3; ++i) skip("the header");
        grid.tmin = number("the global xmin");
        grid.tmax = number("the global xmax");
        skip("the tiers line");
        grid.size = scan::parse_count(next("the tier count"));
        for (std::uint64_t t = 0; t < grid.size; ++t) grid.tiers.push_back(tier());
        return grid;
    }

private:
    Tier tier() {
        Tier tier;
        const std::string_view class_line = next("a tier class");
        lines_.take_string(class_line, scratch_);
        tier.is_interval = detail::is_interval_class(scratch_, class_line);
        lines_.take_string(next("a tier name"), tier.name);
        tier.tmin = number("a tier xmin");
        tier.tmax = number("a tier xmax");
        tier.size = scan::parse_count(next("an item count"));
        // Reserving the declared count spares the copies of a growing vector.
        // It is a hint only, held to one item per five bytes of the text left
        // (a point as Praat writes it, "0" and "\"\"" with their line ends),
        // so that a file declaring a huge count reserves no more than its
        // own length would hold.
        const auto left = static_cast<std::uint64_t>(lines_.text_end() - lines_.position());
        detail::reserve_filled_soon(tier.items, static_cast<std::size_t>(std::min<std::uint64_t>(tier.size, left / 5)));
        for (std::uint64_t i = 0; i < tier.size; ++i) {
            poller_.tick();
            Item& item = tier.items.emplace_back();
            if (tier.is_interval) {
                item.tmin = number("an interval xmin");
                item.tmax = number("an interval xmax");
            } else {
                item.tmin = item.tmax = number("a point time");
            }
            if (!lines_.quoted_line(item.label)) lines_.take_string(next("a label"), item.label);
        }
        return tier;
    }

    // The next line, trimmed; the text ending first is fatal.
    std::string_view next(const char* what) {
        std::string_view line;
        if (!lines_.next_trimmed(line)) {
            throw FatalReadError(std::string("Unexpected end of file while reading ") + what);
        }
        return line;
    }

    void skip(const char* what) { next(what); }

    // Inline: it runs twice for every interval, and the line shortcut is
    // small once the rarer shapes are left to number_slowly.
    [[gnu::always_inline]] double number(const char* what) {
        double value;
        if (lines_.number_line(value)) return value;
        return number_slowly(what);
    }

    [[gnu::noinline]] double number_slowly(const char* what) {
        return scan::parse_number(next(what), lines_.text_end());
    }

    scan::LineCursor lines_;
    InterruptPoller poller_;
    std::string scratch_;
};

}  // namespace

TextGrid parse_short(std::string_view text, std::string name) { return ShortParser(text).run(std::move(name)); }

}  // namespace textgrid
