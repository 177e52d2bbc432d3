// Reading a decimal in one pass, inline, so that the readers' line
// shortcuts, which read every time of a file, pay no call and no reloading
// of the reader's constants for each number.
//
// The digits are gathered into a 64-bit significand while the grammar is
// checked. Most values are then settled exactly by one IEEE multiplication
// or division (both operands exact), the rest by a 128-bit product with a
// power of five; only inputs of more than 19 significant digits, subnormal
// results and the rare products too close to a rounding boundary are handed
// to std::from_chars. Every path gives the correctly rounded double, so the
// result does not depend on which one was taken.
//
// The 128-bit step follows the Eisel-Lemire algorithm as published in
// D. Lemire, "Number Parsing at a Gigabyte per Second", Software: Practice
// and Experience 51(8), 2021. Its constants come from there and can be
// checked against it:
// - the table of truncated 128-bit powers of five and its range
//   (kMinPower, kMaxPower: -342 and 308);
// - the guard-bit test (kGuard, 0x1FF) that decides when the low half of the
//   power is needed, and the all-ones low word that gives up;
// - the power estimate floor(q x log2(10)) as ((152170 + 65536) x q) >> 16,
//   plus 63;
// - the ties window: only -4 <= q <= 23 can give an exact halfway product;
// - the eight-digit step (leading_digits_value): pairs, then fours, then
//   eight digits combined by the multipliers 10, 100 + (10^6 << 32) and
//   1 + (10^4 << 32).
// The rest (the common-shape shortcut, the digit test by adding 0x76, the
// hand-over to from_chars for subnormals) is this reader's own.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

namespace textgrid::scan::detail {

struct Pow5 {
    std::uint64_t high;
    std::uint64_t low;
};

constexpr std::int64_t kMinPower = -342;  // below this any w x 10^q is under half the least subnormal
constexpr std::int64_t kMaxPower = 308;   // above this any w x 10^q is infinite

// 5^q as a 128-bit fraction with its top bit set, for q from kMinPower to
// kMaxPower (number.cpp).
extern const Pow5 kPowersOfFive[];

__extension__ typedef unsigned __int128 uint128;

struct Product {
    std::uint64_t high;
    std::uint64_t low;
};

inline Product multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const uint128 r = static_cast<uint128>(a) * b;
    return {static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r)};
}

constexpr int kMantissaBits = 52;
constexpr int kExponentBias = 1023;
constexpr int kInfiniteExponent = 0x7FF;

// The double nearest to w x 10^q (ties to even), w != 0, when a 128-bit
// product of w with 5^q decides it; values beyond the double range come out
// as infinity or zero. Returns false, leaving `out` alone, for the rare
// inputs whose product lies too close to a rounding boundary and for
// subnormal results: the caller must then convert the digits another way.
[[gnu::always_inline]] inline bool to_double(std::uint64_t w, std::int64_t q, double& out) noexcept {
    if (q < kMinPower) {
        out = 0.0;
        return true;
    }
    if (q > kMaxPower) {
        out = std::numeric_limits<double>::infinity();
        return true;
    }
    const int lz = std::countl_zero(w);
    w <<= lz;
    const Pow5& power = kPowersOfFive[q - kMinPower];
    // The top 64 bits of the product hold the 53 bits wanted, a rounding
    // bit and some guard bits. Only when the guard bits are all ones can the
    // low half of 5^q carry into them.
    constexpr std::uint64_t kGuard = 0x1FF;
    Product p = multiply(w, power.high);
    if ((p.high & kGuard) == kGuard) {
        const Product second = multiply(w, power.low);
        p.low += second.high;
        if (second.high > p.low) ++p.high;
    }
    // Still all ones: the truncated table may be off by the carry that
    // decides the rounding.
    if (p.low == ~std::uint64_t{0}) return false;

    const int upper = static_cast<int>(p.high >> 63);
    const int shift = upper + 64 - kMantissaBits - 3;
    std::uint64_t mantissa = p.high >> shift;
    // floor(q x log2(10)) + 63, exact for every q in the table's range.
    const auto log2_of_ten_power = static_cast<int>(((152170 + 65536) * q) >> 16) + 63;
    int exponent = log2_of_ten_power + upper - lz + kExponentBias;
    if (exponent <= 0) return false;  // subnormal

    // A product that is exact and falls right between two doubles must go
    // to the even one; that can only happen for these powers.
    if (p.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == p.high) {
        mantissa &= ~std::uint64_t{1};
    }
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {  // rounding carried into a new bit
        mantissa = std::uint64_t{1} << kMantissaBits;
        ++exponent;
    }
    mantissa &= ~(std::uint64_t{1} << kMantissaBits);
    if (exponent >= kInfiniteExponent) {
        out = std::numeric_limits<double>::infinity();
        return true;
    }
    out = std::bit_cast<double>(mantissa | static_cast<std::uint64_t>(exponent) << kMantissaBits);
    return true;
}

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

static_assert(std::endian::native == std::endian::little, "digit words are read little-endian");

inline constexpr std::uint64_t kTensUpTo8[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Flags each byte of x (a word of text XORed with '0' in every byte) that is
// not a digit. A byte of 0x8A or more carries into the next one, but only
// bytes after the first flagged one are disturbed.
[[gnu::always_inline]] inline std::uint64_t non_digits(std::uint64_t x) noexcept {
    return ((x + 0x7676767676767676) | x) & 0x8080808080808080;
}

// The value of the first n (1 to 8) digits of x, a word as non_digits takes.
[[gnu::always_inline]] inline std::uint64_t leading_digits_value(std::uint64_t x, int n) noexcept {
    // The digits to the top of the word, zeros before them: the first
    // digit is then the most significant of eight.
    std::uint64_t d = x << (8 * (8 - n));
    d = d * 10 + (d >> 8);  // pairs of digits in every other byte
    return (((d & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
            (((d >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
           32;
}

inline constexpr std::uint64_t kDigitZeros = 0x3030303030303030;

// Times are written with many digits; runs of up to eight of them are found
// and turned into their value at once rather than digit by digit. Bytes up
// to `limit` may be read, those from `end` on are not digits of this
// number. Adds the digits' value to w (which may wrap: more than 19 digits
// take the slow path) and returns the first byte that is not one of them.
[[gnu::always_inline]] inline const char* digits(const char* p, const char* end, const char* limit,
                                                 std::uint64_t& w) noexcept {
    for (;;) {
        std::uint64_t v = 0;
        if (limit - p >= 8) {
            std::memcpy(&v, p, 8);
        } else {
            for (auto i = limit - p; i-- > 0;) v = v << 8 | static_cast<unsigned char>(p[i]);
        }
        const std::uint64_t x = v ^ kDigitZeros;  // a digit byte becomes 0..9
        const std::uint64_t flags = non_digits(x);
        auto n = flags ? std::countr_zero(flags) / 8 : 8;
        if (n > end - p) n = static_cast<int>(end - p);
        if (n == 0) return p;
        w = w * kTensUpTo8[n] + leading_digits_value(x, n);
        p += n;
        if (n < 8) return p;
    }
}

// Exact powers of ten: every one up to 1e22 is a double.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The text of a decimal with more than 19 significant digits or a subnormal
// value, already checked against the grammar; `exponent_of_lead` is the
// power of ten of its first significant digit, which tells an overflow from
// an underflow.
double convert_slowly(const char* first, const char* last, std::int64_t exponent_of_lead) noexcept;

// How far past a number's first digit the common shape may read.
inline constexpr std::ptrdiff_t kCommonShapeReach = 40;

// The shape nearly every time in a file has: up to seven digits, a point,
// up to 23 digits, no exponent, at most 19 digits in all; read eight
// digits a word, with none of the general reading's checks. p is past the
// sign, and kCommonShapeReach bytes from p on may be read. Returns where
// the number ends and sets `out`, or nullptr for any other shape, which the
// general reading below then takes.
[[gnu::always_inline]] inline const char* read_common_shape(const char* p, const char* end, double& out) noexcept {
    std::uint64_t first;
    std::memcpy(&first, p, 8);
    const std::uint64_t x0 = first ^ kDigitZeros;
    const std::uint64_t f0 = non_digits(x0);
    if (f0 == 0) return nullptr;  // eight or more digits before any point
    const int int_digits = std::countr_zero(f0) / 8;
    if (p[int_digits] != '.') return nullptr;
    const char* const frac = p + int_digits + 1;
    std::uint64_t w = int_digits ? leading_digits_value(x0, int_digits) : 0;
    int frac_digits = 0;
    for (;;) {
        std::uint64_t word;
        std::memcpy(&word, frac + frac_digits, 8);
        const std::uint64_t x = word ^ kDigitZeros;
        const std::uint64_t f = non_digits(x);
        if (f == 0) {
            if (frac_digits == 16) return nullptr;  // more digits still
            w = w * kTensUpTo8[8] + leading_digits_value(x, 8);
            frac_digits += 8;
            continue;
        }
        const int n = std::countr_zero(f) / 8;
        if (n != 0) w = w * kTensUpTo8[n] + leading_digits_value(x, n);
        frac_digits += n;
        break;
    }
    const char* const stop = frac + frac_digits;
    // Past `end`, or on to an exponent, or too many digits for w: not this shape.
    if (stop > end || int_digits + frac_digits == 0 || int_digits + frac_digits > 19) return nullptr;
    if (stop != end && (*stop == 'e' || *stop == 'E')) return nullptr;
    double value = 0.0;
    if (w == 0) {
        value = 0.0;
    } else if (w <= (std::uint64_t{1} << 53) && frac_digits <= 22) {
        // w and 10^frac_digits are both exact, so one division rounds once.
        value = static_cast<double>(w) / kExactPowersOfTen[frac_digits];
    } else if (!to_double(w, -frac_digits, value)) {
        return nullptr;
    }
    out = value;
    return stop;
}

// Reads the decimal that starts at p: optional sign, digits with an
// optional point (not both sides empty), optional exponent. It ends at the
// first byte that cannot continue it, or at `end`; bytes up to `limit` (at
// or past end) may be read. Returns that end and sets `out`, or returns
// nullptr when p holds no decimal (no digits, or an exponent without any).
[[gnu::always_inline]] inline const char* read_decimal(const char* p, const char* end, const char* limit,
                                                       double& out) noexcept {
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (limit - p >= kCommonShapeReach) {
        double value;
        if (const char* stop = read_common_shape(p, end, value)) {
            out = negative ? -value : value;
            return stop;
        }
    }
    const char* const first = p;
    std::uint64_t w = 0;
    p = digits(p, end, limit, w);
    const char* const int_end = p;
    const char* frac_begin = p;
    if (p != end && *p == '.') {
        frac_begin = ++p;
        p = digits(p, end, limit, w);
    }
    const auto int_digits = int_end - first;
    const auto frac_digits = p - frac_begin;
    if (int_digits + frac_digits == 0) return nullptr;
    std::int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        if (p == end || !is_digit(*p)) return nullptr;
        for (; p != end && is_digit(*p); ++p) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
        }
        if (exponent_negative) exponent = -exponent;
    }

    double value = 0.0;
    std::int64_t significant = int_digits + frac_digits;
    const std::int64_t q = exponent - frac_digits;
    if (significant > 19) {
        // Leading zeros add nothing to w; only the digits from the first
        // non-zero one on must fit.
        for (const char* z = first; z != p && (*z == '0' || *z == '.'); ++z) significant -= *z == '0';
    }
    if (significant > 19) {
        // w has wrapped and means nothing, zero included.
        value = convert_slowly(first, p, q + significant - 1);
    } else if (w == 0) {
        value = 0.0;
    } else if (w <= (std::uint64_t{1} << 53) && q >= -22 && q <= 22) {
        // w and 10^|q| are both exact, so one operation rounds once.
        const auto whole = static_cast<double>(w);
        value = q < 0 ? whole / kExactPowersOfTen[-q] : whole * kExactPowersOfTen[q];
    } else if (!to_double(w, q, value)) {
        value = convert_slowly(first, p, q + significant - 1);
    }
    out = negative ? -value : value;
    return p;
}

}  // namespace textgrid::scan::detail
