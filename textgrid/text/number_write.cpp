#include "textgrid/text/number_write.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace textgrid {

namespace {

constexpr double kTensUpTo6[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

// Most times come from tools that round them to a few decimals (0.43,
// 12.5). For those the shortest digits are found without the general
// search: they are the fewest decimals, k of 0 to 6, at which the k-decimal
// nearest v reads back as v, since fewer decimals mean fewer digits. Below
// 2^31 the candidates at one k lie 10^-k apart, more than the two ulps of v
// (2^-21 at most) within which one must lie to read back, so at most one
// can and it is the one the search would pick. Such a candidate is within
// a quarter of v x 10^6 once scaled by 10^(6-k): other times are turned
// away at once, and the candidate is v x 10^6 rounded, less its trailing
// zeros. Writes at p, v being positive and finite, and returns the end;
// nullptr when v has no such form.
char* write_few_decimals(char* p, double v) noexcept {
    if (!(v < 2147483648.0)) return nullptr;
    const double scaled = v * 1e6;
    std::uint64_t m = static_cast<std::uint64_t>(scaled + 0.5);
    const double off = scaled - static_cast<double>(m);
    if (off > 0.25 || off < -0.25) return nullptr;
    int k = 6;
    for (; k > 0 && m % 10 == 0; --k) m /= 10;
    if (static_cast<double>(m) / kTensUpTo6[k] != v) return nullptr;
    char digits[24];  // m's digits, last first
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (n <= k) {
        *p++ = '0';
        *p++ = '.';
        for (int i = n; i < k; ++i) *p++ = '0';
        for (int i = n; i-- > 0;) *p++ = digits[i];
        return p;
    }
    for (int i = n; i-- > k;) *p++ = digits[i];
    if (k != 0) {
        *p++ = '.';
        for (int i = k; i-- > 0;) *p++ = digits[i];
    }
    return p;
}

}  // namespace

char* detail::write_time_by_digits(char* p, double v) noexcept {
    if (std::isnan(v)) {
        std::memcpy(p, "NaN", 3);
        return p + 3;
    }
    if (std::signbit(v)) {
        *p++ = '-';
        v = -v;
    }
    if (std::isinf(v)) {
        std::memcpy(p, "inf", 3);
        return p + 3;
    }
    if (v == 0) {
        *p = '0';
        return p + 1;
    }
    // The scientific form gives the shortest round-trip digits; the fixed
    // form would print the exact binary expansion of large values instead
    // (1e23 as 99999999999999991611392), so the digits are placed by hand.
    char sci[32];
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    char digits[20];
    std::size_t ndigits = 0;
    const char* q = sci;
    for (; *q != 'e'; ++q) {
        if (*q != '.') digits[ndigits++] = *q;
    }
    ++q;                 // 'e'
    if (*q == '+') ++q;  // from_chars takes '-' but not '+'
    int exponent = 0;
    std::from_chars(q, sci_end, exponent);

    // d.ddd x 10^e has e + 1 digits before the decimal point.
    const long before = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(ndigits);
    if (before <= 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-before));
        p += -before;
        std::memcpy(p, digits, ndigits);
        return p + ndigits;
    }
    if (before >= count) {
        std::memcpy(p, digits, ndigits);
        p += ndigits;
        std::memset(p, '0', static_cast<std::size_t>(before - count));
        return p + (before - count);
    }
    std::memcpy(p, digits, static_cast<std::size_t>(before));
    p += before;
    *p++ = '.';
    std::memcpy(p, digits + before, static_cast<std::size_t>(count - before));
    return p + (count - before);
}

char* write_time(char* p, double v) noexcept {
    if (!std::isfinite(v) || v == 0) return detail::write_time_by_digits(p, v);
    char* start = p;
    if (v < 0) *start++ = '-';
    const double magnitude = std::fabs(v);
    if (char* end = write_few_decimals(start, magnitude)) return end;
    // The shortest form to_chars picks by itself is positional for most
    // other times, with the digits where the rule puts them. Not so where it
    // picks an exponent, nor from 2^53 on, where its positional form gives
    // every digit of the integer (2^60 as 1152921504606846976, not
    // 1152921504606847000): there the digits are laid out by hand.
    if (magnitude < 9007199254740992.0) {
        const auto written = std::to_chars(start, p + kMaxTime, magnitude);
        if (std::memchr(start, 'e', static_cast<std::size_t>(written.ptr - start)) == nullptr) return written.ptr;
    }
    return detail::write_time_by_digits(p, v);
}



void append_time(std::string& out, double v) {
    char buf[kMaxTime];
    out.append(buf, write_time(buf, v));
}

void append_count(std::string& out, std::uint64_t n) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

}  // namespace textgrid
