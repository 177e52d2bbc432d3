// Writing numbers as the TextGrid layouts have them: times as the shortest
// decimal that reads back to the same double, laid out positionally, and
// counts in plain digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace textgrid {

// The longest time written: the largest double takes 309 digits, the
// smallest subnormal 326 characters, with a sign at most 327.
inline constexpr std::size_t kMaxTime = 330;

// Writes v at p, which must have room for kMaxTime characters, and returns
// the end: the shortest decimal that reads back to the same double, laid
// out positionally: no exponent, no "+", no trailing fractional zeros, no
// point for whole numbers, "0." before a fraction below 1, padding zeros
// where the shortest digits stop before the units (1e23 gives a 1 and 23
// zeros). Negative values (negative zero too) take a "-". NaN gives "NaN",
// the infinities "inf" and "-inf".
char* write_time(char* p, double v) noexcept;

// write_time appended to out.
void append_time(std::string& out, double v);

// n in decimal digits, appended to out.
void append_count(std::string& out, std::uint64_t n);

namespace detail {

// write_time without its quick paths (times of up to six decimals, and
// those to_chars writes positionally): the general way every value can
// take, which a test holds the quick ones against.
char* write_time_by_digits(char* p, double v) noexcept;

}  // namespace detail

}  // namespace textgrid
