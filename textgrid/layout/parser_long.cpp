#include "textgrid/layout/parser_long.h"

#include <algorithm>
#include <cstring>

#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/layout/parser_long_detail.h"
#include "textgrid/layout/tier_class.h"
#include "textgrid/os/pool.h"
#include "textgrid/text/number.h"
#include "textgrid/text/text_scan.h"

namespace textgrid {

namespace {

enum class State {
    header,         // before the first tier: global xmin, xmax and size
    between_tiers,  // after "item []:"; every key line is ignored here
    tier,           // after "item [n]:": the tier's class, name, bounds, size
    item,           // after "intervals [n]:" or "points [n]:": the item's keys
};

// Items take far more text than this in any real file; reservations are
// kept within one item per this many bytes of text.
constexpr std::size_t kReserveBytesPerItem = 32;

class LongParser {
public:
    LongParser(std::string_view text, std::size_t begin, std::size_t end, bool continued)
        : lines_(text, begin, end), reserve_budget_((end - begin) / kReserveBytesPerItem) {
        if (continued) {
            // The placeholder for the items of a tier begun before this part.
            // Its size is unknown here; guessing that they fill the part
            // costs address space only, as untouched pages stay unmapped.
            grid_.tiers.emplace_back();
            reserve_items(grid_.tiers.back(), reserve_budget_ / 2);
            state_ = State::item;
        }
    }

    detail::LongPart run() {
        std::string_view line;
        while (lines_.next_trimmed(line)) {
            poller_.tick();
            if (line.empty()) continue;
            switch (detail::line_prefix(line)) {
            case detail::LinePrefix::tier_list:
                state_ = State::between_tiers;
                continue;
            case detail::LinePrefix::tier:
                grid_.tiers.emplace_back();
                state_ = State::tier;
                continue;
            case detail::LinePrefix::item:
                if (grid_.tiers.empty()) throw FatalReadError("Item found before any tier: " + std::string(line));
                grid_.tiers.back().items.emplace_back();
                state_ = State::item;
                items_as_praat_writes_them();
                continue;
            case detail::LinePrefix::none:
                break;
            }
            if (state_ != State::between_tiers) key_line(line);
        }
        return {std::move(grid_), static_cast<std::size_t>(lines_.position() - lines_.text_begin())};
    }

private:
    void key_line(std::string_view line) {
        const char* eq = scan::find_byte(line.data(), line.data() + line.size(), '=', lines_.text_end());
        if (!eq) return;
        const auto split = static_cast<std::size_t>(eq - line.data());
        // The line is trimmed already, so only the inner ends need it.
        const std::string_view key = scan::trim_back(line.substr(0, split));
        const std::string_view value = scan::trim_front(line.substr(split + 1));

        switch (state_) {
        case State::header:
            if (key == "xmin") {
                grid_.tmin = scan::parse_number(value, lines_.text_end());
            } else if (key == "xmax") {
                grid_.tmax = scan::parse_number(value, lines_.text_end());
            } else if (key == "size") {
                grid_.size = scan::parse_count(value);
            }
            break;
        case State::tier: {
            Tier& tier = grid_.tiers.back();
            if (key == "class") {
                lines_.take_string(value, scratch_);
                tier.is_interval = detail::is_interval_class(scratch_, value);
            } else if (key == "name") {
                lines_.take_string(value, tier.name);
            } else if (key == "xmin") {
                tier.tmin = scan::parse_number(value, lines_.text_end());
            } else if (key == "xmax") {
                tier.tmax = scan::parse_number(value, lines_.text_end());
            } else if (key == "intervals: size" || key == "points: size") {
                tier.size = scan::parse_count(value);
                reserve_items(tier, tier.size);
            }
            break;
        }
        case State::item: {
            Item& item = grid_.tiers.back().items.back();
            if (key == "xmin") {
                item.tmin = scan::parse_number(value, lines_.text_end());
            } else if (key == "xmax") {
                item.tmax = scan::parse_number(value, lines_.text_end());
            } else if (key == "number" || key == "time") {
                // Some corpus tools write a point's time as "time".
                item.tmin = item.tmax = scan::parse_number(value, lines_.text_end());
            } else if (key == "text" || key == "mark") {
                lines_.take_string(value, item.label);
            }
            break;
        }
        case State::between_tiers:
            break;
        }
    }

    // Reads on from an item line while the items come in the shape Praat
    // writes them: each key on its own line, in Praat's order, then the next
    // item line. The first line of any other shape is left to run(), which
    // reads it, and all that follows, as it reads any line in this state.
    void items_as_praat_writes_them() {
        Tier& tier = grid_.tiers.back();
        for (;;) {
            Item& item = tier.items.back();
            if (tier.is_interval) {
                if (!lines_.key_number_line("xmin", item.tmin) || !lines_.key_number_line("xmax", item.tmax) ||
                    !lines_.key_quoted_line("text", item.label))
                    return;
            } else {
                if (!lines_.key_number_line("number", item.tmin)) return;
                item.tmax = item.tmin;
                if (!lines_.key_quoted_line("mark", item.label)) return;
            }
            if (!lines_.next_line_if(detail::is_item_prefix)) return;
            poller_.tick();
            tier.items.emplace_back();
        }
    }

    // A growing vector copies its items at every doubling and faults in
    // fresh pages for each copy; on a large tier that is a good part of the
    // parse, and more when chunks fault pages in at once. So the declared
    // size is reserved, as a hint only: the budget keeps a file that declares
    // huge sizes from reserving much more than its own length.
    void reserve_items(Tier& tier, std::uint64_t want) {
        const std::size_t have = tier.items.capacity();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(want, have + reserve_budget_));
        if (n <= have) return;
        detail::reserve_filled_soon(tier.items, n);
        reserve_budget_ -= n - have;
    }

    scan::LineCursor lines_;
    InterruptPoller poller_;
    std::size_t reserve_budget_;
    TextGrid grid_;
    State state_ = State::header;
    std::string scratch_;
};

}  // namespace

namespace detail {

LongPart parse_long_lines(std::string_view text, std::size_t begin, std::size_t end, bool continued) {
    return LongParser(text, begin, end, continued).run();
}

TextGrid parse_long_one_pass(std::string_view text, std::string name) {
    TextGrid grid = LongParser(text, 0, text.size(), false).run().grid;
    grid.name = std::move(name);
    return grid;
}

}  // namespace detail

TextGrid parse_long(std::string_view text, std::string name) {
    if (text.size() >= detail::kChunkedParseMin) {
        if (const std::size_t cpus = available_cpus(); cpus > 1) {
            return detail::parse_long_chunked(text, std::move(name), cpus);
        }
    }
    return detail::parse_long_one_pass(text, std::move(name));
}

}  // namespace textgrid
