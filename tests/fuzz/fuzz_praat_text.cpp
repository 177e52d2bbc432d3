// The "praat" layout's value reader on any UTF-8 text: as a text file, as a
// chronological file, and each number token on its own.
#include <cmath>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/layout/praat_read.h"
#include "textgrid/text/praat_values.h"
#include "textgrid/text/text_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!textgrid::is_valid_utf8(text)) return 0;
    for (const bool strict : {false, true}) {
        textgrid::Result<textgrid::TextGrid> grid = textgrid::parse_praat_text(text, "fuzz", strict);
        if (grid) fuzz::exercise(grid.value());
        textgrid::Result<textgrid::TextGrid> chrono = textgrid::parse_praat_chronological(text, "fuzz", strict);
        if (chrono) {
            fuzz::exercise(chrono.value());
            for (const textgrid::Tier& tier : chrono.value().tiers) {
                for (std::size_t i = 1; i < tier.items.size(); ++i) {
                    fuzz::check(!(tier.items[i].tmin < tier.items[i - 1].tmin), "chronological items in time order");
                }
            }
        }
    }
    // The text's first piece of printable ASCII read as a number through the
    // reader's one-pass shortcut and through the general rule must give the
    // same bits.
    std::size_t stop = 0;
    while (stop < text.size() && stop < 40 && static_cast<unsigned char>(text[stop] - 0x21) < 0x5E) ++stop;
    const std::string_view token = text.substr(0, stop);
    if (!token.empty() && (token[0] == '-' || token[0] == '+' || (token[0] >= '0' && token[0] <= '9'))) {
        textgrid::praat::ValueReader reader(token);
        double fast = 0.0;
        fuzz::check(reader.real(fast), "a number token reads");
        const double general = textgrid::praat::read_number_token(token);
        fuzz::check(std::isnan(fast) ? std::isnan(general) : std::memcmp(&fast, &general, sizeof fast) == 0,
                    "the shortcut reads a number as the general rule does");
    }
    return 0;
}
