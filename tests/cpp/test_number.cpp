// Number reading against std::from_chars, bit for bit: random decimals of
// every length and exponent, the printed forms of random doubles, and the
// inputs next to rounding and range boundaries. The reader takes several
// paths to its result; whichever it takes, the bits must be the same.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "textgrid/text/number.h"
#include "textgrid/text/number_read.h"
#include "textgrid/text/text_scan.h"

using textgrid::scan::parse_number;

namespace {

int failures = 0;
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Reads text alone, and as a value inside a larger text that goes on with
// digits, which must not be taken for more of the number.
void expect(const std::string& text, double want, const char* what) {
    const std::string within = std::string(text).append("98765432109876543210");
    const double got = parse_number(text);
    const double got_within = parse_number(std::string_view(within).substr(0, text.size()), within.data() + within.size());
    if (!same_bits(got_within, got)) {
        ++failures;
        if (failures <= 20) std::fprintf(stderr, "FAIL (%s): \"%s\" reads otherwise inside a text\n", what, text.c_str());
    }
    // As the readers' line shortcuts meet it: a line of its own with more
    // text after it, which lets the common shapes be read words at a time.
    const std::string line = std::string(text).append("\n98765432109876543210e17.98765432109876543210");
    double got_line = 0.0;
    const char* stop = textgrid::scan::parse_number_prefix(line.data(), line.data() + line.size(), got_line);
    if (stop == line.data() + text.size() && !same_bits(got_line, got)) {
        ++failures;
        if (failures <= 20) std::fprintf(stderr, "FAIL (%s): \"%s\" reads otherwise as a line\n", what, text.c_str());
    }
    if (!same_bits(got, want)) {
        ++failures;
        if (failures <= 20) {
            std::fprintf(stderr, "FAIL (%s): \"%s\" read as %.17g (0x%016llx), want %.17g (0x%016llx)\n", what,
                         text.c_str(), got, static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(got)), want,
                         static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(want)));
        }
    }
}

// What from_chars makes of a decimal, with the sign outside it and a value
// out of range taken to infinity or zero by the power of ten of its leading
// digit, which the caller knows.
double reference(const std::string& text, int lead_exponent) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        value = lead_exponent >= 0 ? kInf : 0.0;
    } else if (ec != std::errc() || ptr != text.data() + text.size()) {
        std::fprintf(stderr, "reference cannot read \"%s\"\n", text.c_str());
        ++failures;
    }
    return negative ? -value : value;
}

// Random digit strings with the point anywhere and an optional exponent:
// 1 to 24 digits (some with leading zeros), exponents over the whole range
// and past it.
void random_decimals(std::mt19937_64& rng, int count) {
    std::uniform_int_distribution<int> digit(0, 9), length(1, 24), zeros(0, 6), exp_range(-360, 330), coin(0, 3);
    for (int k = 0; k < count; ++k) {
        std::string digits(static_cast<std::size_t>(zeros(rng)), '0');
        const int n = length(rng);
        digits += static_cast<char>('1' + digit(rng) % 9);
        for (int i = 1; i < n; ++i) digits += static_cast<char>('0' + digit(rng));
        const auto point = std::uniform_int_distribution<std::size_t>(0, digits.size())(rng);
        std::string text = coin(rng) == 0 ? "-" : "";
        text += digits.substr(0, point);
        if (point < digits.size() || coin(rng) == 0) text.append(".").append(digits, point);
        const int lead_zeros = static_cast<int>(digits.size()) - n;
        int exponent = 0;
        if (coin(rng) != 0) {
            exponent = exp_range(rng);
            text.append(coin(rng) ? "e" : "E").append(std::to_string(exponent));
        }
        const int lead = static_cast<int>(point) - lead_zeros - 1 + exponent;
        expect(text, reference(text, lead), "random decimal");
    }
}

// Random doubles as Praat-like writers print them: shortest digits, all 17
// digits, and positional.
void printed_doubles(std::mt19937_64& rng, int count) {
    std::uniform_int_distribution<std::uint64_t> bits;
    std::uniform_real_distribution<double> seconds(0.0, 20000.0);
    char buf[400];
    for (int k = 0; k < count; ++k) {
        double v = std::bit_cast<double>(bits(rng));
        if (!std::isfinite(v)) continue;
        if (k % 2) v = seconds(rng);
        for (auto format : {std::chars_format::general, std::chars_format::scientific}) {
            const char* e = std::to_chars(buf, buf + sizeof buf, v, format).ptr;
            expect(std::string(static_cast<const char*>(buf), e), v, "shortest");
            e = std::to_chars(buf, buf + sizeof buf, v, format, 16).ptr;
            const std::string seventeen(static_cast<const char*>(buf), e);
            expect(seventeen, reference(seventeen, 0), "17 digits");
        }
        if (std::fabs(v) < 1e30 && std::fabs(v) > 1e-30) {
            const char* e = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr;
            expect(std::string(static_cast<const char*>(buf), e), v, "positional");
        }
    }
}

// Integers near 2^53 and 2^64, where the exact and the 128-bit paths meet,
// and exact halves between doubles that must round to even.
void integer_boundaries() {
    for (std::uint64_t base : {(std::uint64_t{1} << 53) - 4, (std::uint64_t{1} << 54) - 4,
                               std::numeric_limits<std::uint64_t>::max() - 8, std::uint64_t{9999999999999999990u}}) {
        for (std::uint64_t d = 0; d < 8; ++d) {
            const std::string text = std::to_string(base + d);
            for (const char* tail : {"", ".5", "e-5"}) {
                const std::string variant = std::string(text).append(tail);
                expect(variant, reference(variant, tail[0] == 'e' ? 10 : 18), "integer boundary");
            }
        }
    }
}

// Inputs whose answer is known outright (grammar, signs, specials, range
// ends): the table the long reader's Python test reads too, each line a text,
// a tab and the value, and a blank after the number, which a reader trims
// from a line but the number rule itself does not take.
void known_cases() {
    std::ifstream table(std::string(ORVEX_TEST_DATA) + "/numbers.tsv");
    int cases = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t tab = line.find('\t');
        const std::string text = line.substr(0, tab);
        const double want = std::strtod(line.c_str() + tab + 1, nullptr);
        expect(text, want, "known case");
        ++cases;
    }
    if (cases < 60) {
        ++failures;
        std::fprintf(stderr, "FAIL: numbers.tsv gave %d cases\n", cases);
    }
    expect("1 ", 0.0, "known case");
}

// The product path (to_double) either decides a value exactly as from_chars does or
// declines it; it never gives a wrong answer.
void product_path_agrees_or_declines(std::mt19937_64& rng, int count) {
    std::uniform_int_distribution<std::uint64_t> w_dist(1, std::numeric_limits<std::uint64_t>::max());
    std::uniform_int_distribution<int> q_dist(-345, 310);
    int declined = 0;
    for (int k = 0; k < count; ++k) {
        const std::uint64_t w = w_dist(rng) >> std::uniform_int_distribution<int>(0, 63)(rng);
        if (w == 0) continue;
        const int q = q_dist(rng);
        const std::string text = std::to_string(w).append("e").append(std::to_string(q));
        double got = 0.0;
        if (!textgrid::scan::detail::to_double(w, q, got)) {
            ++declined;
            continue;
        }
        const double want = reference(text, q + static_cast<int>(std::to_string(w).size()) - 1);
        if (!same_bits(got, want)) {
            ++failures;
            std::fprintf(stderr, "FAIL (product): %s gave %.17g, want %.17g\n", text.c_str(), got, want);
        }
    }
    // Declining is for subnormals and rare boundary cases only.
    if (declined > count / 20) {
        ++failures;
        std::fprintf(stderr, "FAIL: the product path declined %d of %d inputs\n", declined, count);
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261208);
    known_cases();
    integer_boundaries();
    random_decimals(rng, 300000);
    printed_doubles(rng, 100000);
    product_path_agrees_or_declines(rng, 300000);
    if (failures) {
        std::fprintf(stderr, "test_number: %d failures\n", failures);
        return 1;
    }
    std::printf("test_number: all checks passed\n");
    return 0;
}
