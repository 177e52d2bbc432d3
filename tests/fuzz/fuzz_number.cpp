// The number and count readers against std::from_chars: a text the grammar
// accepts must give exactly the double from_chars gives for it (sign bit and
// NaN-ness included), and anything else must give +0.0. The grammar is
// written out here a second time, on purpose in another shape than the
// reader's, so that the two can disagree.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/text/number.h"
#include "textgrid/text/text_scan.h"

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return out;
}

// digits [ "." digits ] | "." digits, then [ ("e" | "E") [sign] digits ].
bool is_decimal(std::string_view s) {
    std::size_t i = 0, mantissa_digits = 0;
    while (i < s.size() && digit(s[i])) ++i, ++mantissa_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && digit(s[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        const std::size_t exponent_start = i;
        while (i < s.size() && digit(s[i])) ++i;
        if (i == exponent_start) return false;
    }
    return i == s.size();
}

void check_number(std::string_view s) {
    const double got = textgrid::scan::parse_number(s);
    // With text readable past its end, as in a file, the common shapes are
    // read words at a time; the value must not change.
    const std::string padded = std::string(s).append("\n").append(48, '7');
    fuzz::check(fuzz::same_bits(textgrid::scan::parse_number(std::string_view(padded).substr(0, s.size()),
                                                             padded.data() + padded.size()),
                                got),
                "the same value with text after it");
    std::string_view body = s;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    const std::string word = lower(body);
    double want;
    if (word == "inf" || word == "infinity") {
        want = std::numeric_limits<double>::infinity();
    } else if (word == "nan") {
        fuzz::check(std::isnan(got) && std::signbit(got) == negative, "nan keeps its sign");
        return;
    } else if (is_decimal(body)) {
        const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), want);
        fuzz::check(ptr == body.data() + body.size() || ec == std::errc::result_out_of_range,
                    "from_chars takes all of a decimal");
        if (ec == std::errc::result_out_of_range) {
            // from_chars leaves the value alone here; which way the decimal
            // went is asked of the C library, whose overflow gives HUGE_VAL
            // and whose underflow gives zero.
            const std::string copy(body);
            errno = 0;
            const double c = std::strtod(copy.c_str(), nullptr);
            fuzz::check(errno == ERANGE && (std::isinf(c) || c == 0.0), "strtod agrees the decimal is out of range");
            want = std::isinf(c) ? std::numeric_limits<double>::infinity() : 0.0;
        } else {
            fuzz::check(ec == std::errc(), "from_chars reads a decimal");
        }
    } else {
        fuzz::check(fuzz::same_bits(got, 0.0), "text outside the grammar reads as +0.0");
        return;
    }
    fuzz::check(fuzz::same_bits(got, negative ? -want : want), "same double as from_chars");
}

void check_count(std::string_view s) {
    const std::uint64_t got = textgrid::scan::parse_count(s);
    std::string_view body = s;
    if (!body.empty() && body[0] == '+') body.remove_prefix(1);
    bool all_digits = !body.empty();
    for (char c : body) all_digits = all_digits && digit(c);
    std::uint64_t want = 0;
    if (all_digits) {
        const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), want);
        if (ec != std::errc() || ptr != body.data() + body.size()) want = 0;
    }
    fuzz::check(got == want, "count as from_chars reads it, 0 when it does not fit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    check_number(s);
    check_count(s);
    return 0;
}
