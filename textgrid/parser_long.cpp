#include "textgrid/parser_long.h"

#include <cstring>

#include "textgrid/file_io.h"
#include "textgrid/text_scan.h"

namespace textgrid {

namespace {

enum class State {
    header,         // before the first tier: global xmin, xmax and size
    between_tiers,  // after "item []:"; every key line is ignored here
    tier,           // after "item [n]:": the tier's class, name, bounds, size
    item,           // after "intervals [n]:" or "points [n]:": the item's keys
};

bool starts_with(std::string_view s, std::string_view prefix) noexcept {
    return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

class LongParser {
public:
    LongParser(std::string_view text, std::string name) : lines_(text) { grid_.name = std::move(name); }

    TextGrid run() {
        std::string_view raw;
        while (lines_.next(raw)) {
            const std::string_view line = scan::trim(raw);
            if (line.empty()) continue;
            if (starts_with(line, "item [")) {
                if (starts_with(line, "item []")) {
                    state_ = State::between_tiers;
                } else {
                    grid_.tiers.emplace_back();
                    state_ = State::tier;
                }
            } else if (starts_with(line, "intervals [") || starts_with(line, "points [")) {
                if (grid_.tiers.empty()) throw FatalReadError("Item found before any tier: " + std::string(line));
                grid_.tiers.back().items.emplace_back();
                state_ = State::item;
            } else if (state_ != State::between_tiers) {
                key_line(line);
            }
        }
        return std::move(grid_);
    }

private:
    void key_line(std::string_view line) {
        const auto* eq = static_cast<const char*>(std::memchr(line.data(), '=', line.size()));
        if (!eq) return;
        const auto split = static_cast<std::size_t>(eq - line.data());
        // The line is trimmed already, so only the inner ends need it.
        const std::string_view key = scan::trim_back(line.substr(0, split));
        const std::string_view value = scan::trim_front(line.substr(split + 1));

        switch (state_) {
        case State::header:
            if (key == "xmin") {
                grid_.tmin = scan::parse_number(value);
            } else if (key == "xmax") {
                grid_.tmax = scan::parse_number(value);
            } else if (key == "size") {
                grid_.size = scan::parse_count(value);
            }
            break;
        case State::tier: {
            Tier& tier = grid_.tiers.back();
            if (key == "class") {
                lines_.take_string(value, scratch_);
                if (scratch_ == "IntervalTier") {
                    tier.is_interval = true;
                } else if (scratch_ == "TextTier") {
                    tier.is_interval = false;
                } else {
                    throw FatalReadError("Unknown tier class: " + std::string(value));
                }
            } else if (key == "name") {
                lines_.take_string(value, tier.name);
            } else if (key == "xmin") {
                tier.tmin = scan::parse_number(value);
            } else if (key == "xmax") {
                tier.tmax = scan::parse_number(value);
            } else if (key == "intervals: size" || key == "points: size") {
                tier.size = scan::parse_count(value);
            }
            break;
        }
        case State::item: {
            Item& item = grid_.tiers.back().items.back();
            if (key == "xmin") {
                item.tmin = scan::parse_number(value);
            } else if (key == "xmax") {
                item.tmax = scan::parse_number(value);
            } else if (key == "number") {
                item.tmin = item.tmax = scan::parse_number(value);
            } else if (key == "text" || key == "mark") {
                lines_.take_string(value, item.label);
            }
            break;
        }
        case State::between_tiers:
            break;
        }
    }

    scan::LineCursor lines_;
    TextGrid grid_;
    State state_ = State::header;
    std::string scratch_;
};

}  // namespace

TextGrid parse_long(std::string_view text, std::string name) { return LongParser(text, std::move(name)).run(); }

Result<TextGrid> read_from_file_long(const std::string& path, bool strict) {
    return read_textgrid_file(path, strict, parse_long);
}

}  // namespace textgrid
