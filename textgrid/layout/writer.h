// Rendering TextGrids as text in the long and the short layouts: the
// pieces both share (how a quoted string is written, the item renderers
// that the tier methods of textgrid.h build on). Numbers are written by
// text/number_write.h, files by os/file_write.h.
//
// Nothing here validates or fails: whatever the records hold is written.
// The functions append to a caller-owned string and throw only what growing
// that string throws (std::bad_alloc).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "textgrid/model/textgrid.h"

namespace textgrid {

// Appends text between double quotes, each double quote inside written as
// two, which is how Praat itself reads a quote inside a string. Nothing else
// is altered: backslashes, tabs, CR and LF go out as they are.
void append_quoted(std::string& out, std::string_view text);

// The whole file text in either layout, for a caller whose own loop keeps
// the worker pool busy with other grids (a corpus written file by file):
// only a grid with a tier of kAloneItems items or more is rendered on the
// pool as well, so that one long file does not hold up the end of the
// loop. The pieces of a smaller one would only be queued behind the other
// grids, at a cost above their rendering.
inline constexpr std::size_t kAloneItems = 8192;
std::string render_among_many(const TextGrid& tg, bool long_layout);

namespace detail {

// Appends the item blocks of tier in the long (long_layout) or the short
// layout, in item order. With cpus available, a tier of at least 10 x cpus
// items is rendered on the worker pool in contiguous runs; the bytes are the
// same either way. Exposed so that both paths can be exercised with a
// chosen cpus.
void append_item_blocks(std::string& out, const Tier& tier, bool long_layout, std::size_t cpus);

}  // namespace detail

}  // namespace textgrid
