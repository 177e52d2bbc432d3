// The binary TextGrid reader on any bytes after the "ooBinaryFile" mark:
// whatever the counts and lengths say, nothing is read past the end
// (AddressSanitizer watches the copy, which has no slack after it).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/layout/praat_read.h"
#include "textgrid/text/text_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::string_view kMagic = "ooBinaryFile";
    const std::size_t n = kMagic.size() + size;
    std::unique_ptr<char[]> bytes(new char[n]);
    std::memcpy(bytes.get(), kMagic.data(), kMagic.size());
    if (size) std::memcpy(bytes.get() + kMagic.size(), data, size);
    textgrid::Result<textgrid::TextGrid> grid = textgrid::parse_praat_binary({bytes.get(), n}, "fuzz");
    if (grid) {
        fuzz::exercise(grid.value());
        for (const textgrid::Tier& tier : grid.value().tiers) {
            fuzz::check(textgrid::is_valid_utf8(tier.name), "binary names become UTF-8");
            for (const textgrid::Item& item : tier.items) fuzz::check(textgrid::is_valid_utf8(item.label), "binary labels become UTF-8");
        }
    }
    return 0;
}
