// The pieces shared by the long and the short TextGrid layouts: how a time
// is written, how a quoted string is written, and the item renderers that
// the tier methods of textgrid.h build on.
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

// Appends v as the shortest decimal that reads back to the same double,
// laid out positionally: no exponent, no "+", no trailing fractional zeros,
// no point for whole numbers, "0." before a fraction below 1, padding zeros
// where the shortest digits stop before the units (1e23 gives a 1 and 23
// zeros). Negative values (negative zero too) take a "-". NaN gives "NaN",
// the infinities "inf" and "-inf".
void append_time(std::string& out, double v);

// The same, as a new string.
std::string format_time(double v);

// Appends text between double quotes, each double quote inside written as
// two, which is how Praat itself reads a quote inside a string. Nothing else
// is altered: backslashes, tabs, CR and LF go out as they are.
void append_quoted(std::string& out, std::string_view text);

namespace detail {

// format_time without its quick paths (times of up to six decimals, and
// those to_chars writes positionally), so that a test can hold them
// against the general one.
std::string format_time_by_digits(double v);

// Appends the item blocks of tier in the long (long_layout) or the short
// layout, in item order. With cpus available, a tier of at least 10 x cpus
// items is rendered on the worker pool in contiguous runs; the bytes are the
// same either way. Exposed so that both paths can be exercised with a
// chosen cpus.
void append_item_blocks(std::string& out, const Tier& tier, bool long_layout, std::size_t cpus);

}  // namespace detail

}  // namespace textgrid
