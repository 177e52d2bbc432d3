// The short-layout reader on any UTF-8 text (the file loader refuses the
// rest before a reader sees it).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/layout/parser_short.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!textgrid::is_valid_utf8(text)) return 0;
    const fuzz::Outcome out = fuzz::run_reader([&] { return textgrid::parse_short(text, "fuzz"); });
    if (!out.fatal) fuzz::exercise(out.grid);
    return 0;
}
