// Reading a decimal number, the one rule for every number of a TextGrid
// text. The reading itself is inline in number_read.h, for the readers'
// line shortcuts; these are its entry points for a value already cut out.
#pragma once

#include <string_view>

namespace textgrid::scan {

// A 64-bit float in decimal form: optional sign, digits with an optional
// point (not both sides empty), optional exponent; or inf, infinity, nan in
// any case with an optional sign. Anything else gives 0.0. Values beyond the
// range round to infinity or zero as the decimal says.
double parse_number(std::string_view s) noexcept;
// The same for a value that lies in a larger text: the bytes from the
// value's end up to readable_end may be read (never used), which lets the
// digits be taken several at a time to the last one.
double parse_number(std::string_view s, const char* readable_end) noexcept;

}  // namespace textgrid::scan
