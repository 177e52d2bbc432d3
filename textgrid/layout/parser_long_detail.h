// Internals of the long-layout reader, shared by its one-pass and its
// chunked parse. Nothing here is part of the library's contract.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "textgrid/model/textgrid.h"

namespace textgrid::detail {

// Texts at least this long are parsed in chunks when more than one CPU is
// available; each chunk is at least kMinChunk long. Below some megabytes
// the parse takes a few milliseconds, and handing it to another thread
// gains less than the hand-over costs.
inline constexpr std::size_t kChunkedParseMin = std::size_t{4} << 20;
inline constexpr std::size_t kMinChunk = std::size_t{2} << 20;

// The lines that change the reader's state, told by how a trimmed line
// begins: "item []" (the list of tiers follows), "item [" (a tier),
// "intervals [" or "points [" (an item). Some tools write no blank before
// the bracket ("item[1]:"); those lines mean the same.
enum class LinePrefix { none, tier_list, tier, item };

// The length of `word`, an optional blank and "[" at the start of `line`,
// or 0 when the line does not begin so.
inline std::size_t bracket_after(std::string_view line, std::string_view word) noexcept {
    if (!line.starts_with(word)) return 0;
    std::size_t i = word.size();
    if (i < line.size() && line[i] == ' ') ++i;
    return i < line.size() && line[i] == '[' ? i + 1 : 0;
}

inline LinePrefix line_prefix(std::string_view line) noexcept {
    if (line.empty()) return LinePrefix::none;
    if (line[0] == 'i') {
        if (const std::size_t k = bracket_after(line, "item")) {
            return k < line.size() && line[k] == ']' ? LinePrefix::tier_list : LinePrefix::tier;
        }
        return bracket_after(line, "intervals") ? LinePrefix::item : LinePrefix::none;
    }
    if (line[0] == 'p') return bracket_after(line, "points") ? LinePrefix::item : LinePrefix::none;
    return LinePrefix::none;
}

inline bool is_item_prefix(std::string_view line) noexcept { return line_prefix(line) == LinePrefix::item; }

// What the reader built from a part of a text, and where it stopped.
struct LongPart {
    TextGrid grid;
    // The offset where the next line would start. It equals the part's end
    // unless a quoted value ran over that end, and then lies past it.
    std::size_t stop = 0;
};

// Runs the reader over the lines that start in text[begin, end), begin
// being the start of a line; a quoted value may run on past end, over the
// rest of the text, exactly as in a parse of the whole. With continued
// false the reader starts as for a whole text, in the header state. With
// continued true it takes up a text whose earlier part it did not see;
// begin must then be the start of a line that is_item_prefix once trimmed.
// It starts in the item state, and grid.tiers[0] is a placeholder that
// receives the items met before the part's first tier line, which belong
// to the last tier of the earlier part. The grid's name is left empty.
// Throws FatalReadError as parse_long does.
LongPart parse_long_lines(std::string_view text, std::size_t begin, std::size_t end, bool continued);

// parse_long without chunks: the whole text in one pass, named `name`.
// Throws FatalReadError as parse_long does.
TextGrid parse_long_one_pass(std::string_view text, std::string name);

// parse_long for a text of at least kChunkedParseMin bytes: up to cpus
// chunks parsed at once on the worker pool, then joined. The result, and
// the FatalReadError when one is thrown, are those of the one-pass parse.
TextGrid parse_long_chunked(std::string_view text, std::string name, std::size_t cpus);

// parse_long_chunked with the number of chunks aimed at given, whatever the
// text's length; up to `chunks` parts are parsed at once on the pool. Lets
// the joining be exercised on small texts. Same result and failure as the
// one-pass parse.
TextGrid parse_long_in_chunks(std::string_view text, std::string name, std::size_t cpus, std::size_t chunks);

}  // namespace textgrid::detail
