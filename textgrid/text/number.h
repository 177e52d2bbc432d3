// Turning a decimal significand and power of ten into the nearest double,
// the step of number reading that decides the result's bits.
#pragma once

#include <cstdint>

namespace textgrid::scan::detail {

// The double nearest to w x 10^q (ties to even), w != 0, when a 128-bit
// product of w with 5^q decides it; values beyond the double range come out
// as infinity or zero. Returns false, leaving `out` alone, for the rare
// inputs whose product lies too close to a rounding boundary and for
// subnormal results: the caller must then convert the digits another way.
// Never throws, never allocates.
bool decimal_to_double(std::uint64_t w, std::int64_t q, double& out) noexcept;

}  // namespace textgrid::scan::detail
