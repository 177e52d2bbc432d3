// The long-layout parse cut into chunks against the one-pass parse. The
// first byte picks how many chunks are aimed at, so that small texts are
// cut too; the grid or the failure must be the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/layout/parser_long_detail.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunks = 2 + data[0] % 7;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (!textgrid::is_valid_utf8(text)) return 0;
    const fuzz::Outcome whole = fuzz::run_reader([&] { return textgrid::detail::parse_long_one_pass(text, "fuzz"); });
    const fuzz::Outcome cut =
        fuzz::run_reader([&] { return textgrid::detail::parse_long_in_chunks(text, "fuzz", 2, chunks); });
    fuzz::check(fuzz::same_outcome(whole, cut), "chunked parse equals the one-pass parse");
    return 0;
}
