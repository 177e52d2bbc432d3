#include "textgrid/text_scan.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace textgrid::scan {

const char* find_line_break(const char* p, const char* end) noexcept {
    // Eight bytes at a time while none of them is LF or CR: a byte equal to
    // either makes (w ^ pattern) hold a zero byte, which the borrow trick
    // detects without false alarms.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (has_zero(w ^ (kOnes * '\n')) | has_zero(w ^ (kOnes * '\r'))) break;
        p += 8;
    }
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
}

const char* after_line_break(const char* brk, const char* end) noexcept {
    if (brk == end) return end;
    if (*brk == '\r' && brk + 1 < end && brk[1] == '\n') return brk + 2;
    return brk + 1;
}

bool LineCursor::next(std::string_view& line) noexcept {
    if (pos_ >= stop_) return false;
    const char* brk = find_line_break(pos_, end_);
    line = std::string_view(pos_, static_cast<std::size_t>(brk - pos_));
    pos_ = after_line_break(brk, end_);
    return true;
}

void LineCursor::resume_after_line_of(const char* p) noexcept { pos_ = after_line_break(find_line_break(p, end_), end_); }

void LineCursor::take_string(std::string_view value, std::string& out) {
    if (!value.empty() && value.front() == '"') {
        if (const char* close = read_quoted(value.data(), end_, out)) {
            if (close >= value.data() + value.size()) resume_after_line_of(close);
            return;
        }
    }
    out.assign(strip_quotes(value));
}

namespace {

bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the Unicode white space character that starts at s[i], or 0.
std::size_t space_at_front(std::string_view s) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (n == 0) return 0;
    if (is_ascii_space(u[0])) return 1;
    if (n >= 2 && u[0] == 0xC2 && (u[1] == 0x85 || u[1] == 0xA0)) return 2;
    if (n >= 3) {
        if (u[0] == 0xE1 && u[1] == 0x9A && u[2] == 0x80) return 3;  // U+1680
        if (u[0] == 0xE2 && u[1] == 0x80 && ((u[2] >= 0x80 && u[2] <= 0x8A) || u[2] == 0xA8 || u[2] == 0xA9 ||
                                              u[2] == 0xAF))
            return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
        if (u[0] == 0xE2 && u[1] == 0x81 && u[2] == 0x9F) return 3;  // U+205F
        if (u[0] == 0xE3 && u[1] == 0x80 && u[2] == 0x80) return 3;  // U+3000
    }
    return 0;
}

// Length of the Unicode white space character that ends s, or 0.
std::size_t space_at_back(std::string_view s) noexcept {
    const std::size_t n = s.size();
    if (n == 0) return 0;
    const auto last = static_cast<unsigned char>(s[n - 1]);
    if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
    // Every non-ASCII white space is two or three bytes long.
    if (n >= 2 && space_at_front(s.substr(n - 2)) == 2) return 2;
    if (n >= 3 && space_at_front(s.substr(n - 3)) == 3) return 3;
    return 0;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool iequals(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Checks the decimal grammar and, when the value is out of double range,
// tells which way it went: true for too large (infinity), false for too
// small (zero). Returns false for `valid` when the text is not a decimal.
struct DecimalShape {
    bool valid = false;
    bool huge = false;
};

DecimalShape decimal_shape(std::string_view s) noexcept {
    DecimalShape shape;
    std::size_t i = 0;
    const std::size_t n = s.size();
    std::size_t int_digits = 0, frac_digits = 0;
    long long magnitude = 0;  // decimal position of the first significant digit, roughly
    bool seen_significant = false;
    for (; i < n && is_digit(s[i]); ++i, ++int_digits) {
        if (s[i] != '0' || seen_significant) {
            if (!seen_significant) seen_significant = true;
            ++magnitude;
        }
    }
    if (i < n && s[i] == '.') {
        ++i;
        for (; i < n && is_digit(s[i]); ++i, ++frac_digits) {
            if (!seen_significant) {
                if (s[i] == '0') {
                    --magnitude;
                } else {
                    seen_significant = true;
                }
            }
        }
    }
    if (int_digits + frac_digits == 0) return shape;
    long long exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
        if (i == n || !is_digit(s[i])) return shape;
        for (; i < n && is_digit(s[i]); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    if (i != n) return shape;
    shape.valid = true;
    shape.huge = seen_significant && magnitude + exponent > 0;
    return shape;
}

// Exact powers of ten: every one up to 1e22 is a double.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Most times in TextGrid files are short plain decimals ("1.2345"). When all
// digits fit below 2^53 the value is that integer over an exact power of
// ten, which one IEEE division rounds correctly. False leaves the text to
// the general path.
bool parse_simple_decimal(std::string_view s, double& out) noexcept {
    std::uint64_t mantissa = 0;  // may wrap for long inputs; they are refused below
    std::size_t digits = 0, fraction = 0, i = 0;
    const std::size_t n = s.size();
    for (; i < n && is_digit(s[i]); ++i, ++digits) mantissa = mantissa * 10 + static_cast<unsigned>(s[i] - '0');
    if (i < n && s[i] == '.') {
        for (++i; i < n && is_digit(s[i]); ++i, ++digits, ++fraction) {
            mantissa = mantissa * 10 + static_cast<unsigned>(s[i] - '0');
        }
    }
    if (i != n || digits == 0 || digits > 15 || fraction > 22) return false;
    const auto whole = static_cast<double>(mantissa);
    out = fraction ? whole / kExactPowersOfTen[fraction] : whole;
    return true;
}

}  // namespace

std::string_view trim_front(std::string_view s) noexcept {
    // Indentation is ASCII nearly always: skip it in a tight loop and look for
    // the multi-byte white space only where a non-ASCII byte stands.
    for (;;) {
        std::size_t i = 0;
        while (i < s.size() && is_ascii_space(static_cast<unsigned char>(s[i]))) ++i;
        s.remove_prefix(i);
        if (s.empty() || static_cast<unsigned char>(s.front()) < 0x80) return s;
        const std::size_t k = space_at_front(s);
        if (k == 0) return s;
        s.remove_prefix(k);
    }
}

std::string_view trim_back(std::string_view s) noexcept {
    for (;;) {
        std::size_t n = s.size();
        while (n > 0 && is_ascii_space(static_cast<unsigned char>(s[n - 1]))) --n;
        s = s.substr(0, n);
        if (s.empty() || static_cast<unsigned char>(s.back()) < 0x80) return s;
        const std::size_t k = space_at_back(s);
        if (k == 0) return s;
        s.remove_suffix(k);
    }
}

std::string_view trim(std::string_view s) noexcept { return trim_back(trim_front(s)); }

double parse_number(std::string_view s) noexcept {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return 0.0;
    double value = 0.0;
    if (parse_simple_decimal(s, value)) return negative ? -value : value;
    if (is_digit(s[0]) || s[0] == '.') {
        // from_chars would also take "nan(...)" or a second sign; the grammar
        // is checked first so that only plain decimals reach it.
        const DecimalShape shape = decimal_shape(s);
        if (!shape.valid) return 0.0;
        auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            value = shape.huge ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc() || ptr != s.data() + s.size()) {
            return 0.0;
        }
    } else if (iequals(s, "inf") || iequals(s, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (iequals(s, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        return 0.0;
    }
    return negative ? -value : value;
}

std::uint64_t parse_count(std::string_view s) noexcept {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty() || !is_digit(s[0])) return 0;
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
    if (ec != std::errc() || ptr != s.data() + s.size()) return 0;
    return value;
}

std::string_view strip_quotes(std::string_view s) noexcept {
    while (!s.empty() && s.front() == '"') s.remove_prefix(1);
    while (!s.empty() && s.back() == '"') s.remove_suffix(1);
    return s;
}

const char* read_quoted(const char* open, const char* end, std::string& out) {
    out.clear();
    const char* p = open + 1;
    for (;;) {
        const auto* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
        if (!q) return nullptr;
        if (q + 1 < end && q[1] == '"') {
            out.append(p, static_cast<std::size_t>(q + 1 - p));  // the pair stands for one quote
            p = q + 2;
            continue;
        }
        out.append(p, static_cast<std::size_t>(q - p));
        return q;
    }
}

}  // namespace textgrid::scan
