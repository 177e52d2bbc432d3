// Whatever a lenient read of either layout gives is written in both layouts
// and read back: the second read must give the same grid.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/layout/parser_long.h"
#include "textgrid/layout/parser_short.h"

namespace {

void round_trip(const textgrid::TextGrid& grid) {
    const std::string long_text = grid.to_long_textgrid_string();
    const std::string short_text = grid.to_short_textgrid_string();
    fuzz::check(textgrid::is_valid_utf8(long_text) && textgrid::is_valid_utf8(short_text),
                "what is written loads as UTF-8");
    const fuzz::Outcome from_long = fuzz::run_reader([&] { return textgrid::parse_long(long_text, "x"); });
    fuzz::check(!from_long.fatal, "the long text written reads back");
    fuzz::check(fuzz::same_grid(grid, from_long.grid, fuzz::Match::as_written), "long layout round trip");
    const fuzz::Outcome from_short = fuzz::run_reader([&] { return textgrid::parse_short(short_text, "x"); });
    fuzz::check(!from_short.fatal, "the short text written reads back");
    fuzz::check(fuzz::same_grid(grid, from_short.grid, fuzz::Match::as_written), "short layout round trip");
    // What was read back has the counts the writers put down.
    fuzz::check(from_long.grid.size == grid.tiers.size() && from_short.grid.size == grid.tiers.size(),
                "tier count written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!textgrid::is_valid_utf8(text)) return 0;
    const fuzz::Outcome as_long = fuzz::run_reader([&] { return textgrid::parse_long(text, "fuzz"); });
    if (!as_long.fatal) round_trip(as_long.grid);
    const fuzz::Outcome as_short = fuzz::run_reader([&] { return textgrid::parse_short(text, "fuzz"); });
    if (!as_short.fatal) round_trip(as_short.grid);
    return 0;
}
