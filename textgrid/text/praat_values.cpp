#include "textgrid/text/praat_values.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace textgrid::praat {

namespace {

// Code points beyond ASCII that Praat skips as white space: the next line
// character and Unicode's separators (Zs, Zl, Zp). Format characters such
// as U+FEFF are not among them.
constexpr char32_t kSpaces[] = {0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

// The code point of the well-formed UTF-8 sequence at p and its length.
std::size_t decode(const char* p, const char* end, char32_t& cp) noexcept {
    const auto b0 = static_cast<unsigned char>(p[0]);
    const std::size_t n = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
    if (static_cast<std::size_t>(end - p) < n) return 0;
    cp = n == 2 ? b0 & 0x1Fu : n == 3 ? b0 & 0x0Fu : b0 & 0x07u;
    for (std::size_t i = 1; i < n; ++i) cp = cp << 6 | (static_cast<unsigned char>(p[i]) & 0x3Fu);
    return n;
}

bool is_digit(char c) noexcept { return scan::detail::is_digit(c); }

bool is_hex_digit(char c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One side of a fraction.
double read_side(std::string_view s) noexcept {
    constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();
    const char* const first = s.data();
    const char* const end = first + s.size();
    const char* p = first;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* const digits = p;
    // The beginning every number must have.
    if (p == end || !is_digit(*p)) return kUndefined;
    while (p != end && is_digit(*p)) ++p;
    if (p != end && *p == '.') {
        ++p;
        while (p != end && is_digit(*p)) ++p;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !is_digit(*p)) return kUndefined;
        while (p != end && is_digit(*p)) ++p;
    }
    const bool percent = p != end && *p == '%';

    double value = 0.0;
    if (end - digits > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') &&
        (is_hex_digit(digits[2]) || (digits[2] == '.' && end - digits > 3 && is_hex_digit(digits[3])))) {
        // What strtod reads after "0x"; a bare "0x" is the number 0 followed by text.
        const auto [stop, ec] = std::from_chars(digits + 2, end, value, std::chars_format::hex);
        if (ec == std::errc::result_out_of_range) {
            // Too large is infinite, too small is zero, as strtod gives them.
            const char* e = std::find_if(digits + 2, end, [](char c) { return c == 'p' || c == 'P'; });
            value = (e + 1 < end && e[1] == '-') ? 0.0 : std::numeric_limits<double>::infinity();
        } else if (ec != std::errc()) {
            value = 0.0;
        }
        (void)stop;
    } else if (!scan::detail::read_decimal(digits, p, p, value)) {
        return kUndefined;
    }
    if (negative) value = -value;
    if (percent) value *= 0.01;
    return value;
}

}  // namespace

std::size_t unicode_space_length(const char* p, const char* end) noexcept {
    char32_t cp = 0;
    const std::size_t n = decode(p, end, cp);
    if (n == 0) return 0;
    return std::binary_search(std::begin(kSpaces), std::end(kSpaces), cp) ? n : 0;
}

double read_number_token(std::string_view token) noexcept {
    const std::size_t slash = token.find('/');
    double value = read_side(token.substr(0, slash));
    if (slash != std::string_view::npos) {
        const double denominator = read_side(token.substr(slash + 1));
        value = denominator == 0.0 || !std::isfinite(denominator) ? std::numeric_limits<double>::quiet_NaN()
                                                                   : value / denominator;
    }
    return value;
}

const char* ValueReader::token_end(const char* p) const noexcept {
    while (p != end_) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x80 ? is_ascii_blank(c) : unicode_space_length(p, end_) != 0) break;
        ++p;
    }
    return p;
}

bool ValueReader::find_slowly(Want want) noexcept {
    for (;;) {
        while (p_ != end_) {
            const std::size_t n = space_length(p_, end_);
            if (n == 0) break;
            p_ += n;
        }
        if (p_ == end_) return fail(Problem::end, p_);
        const char c = *p_;
        if (c == '\0') return fail(Problem::nul, p_);
        if (c == '!') {
            while (p_ != end_ && *p_ != '\n' && *p_ != '\r') ++p_;
            continue;
        }
        const bool number = is_digit(c) || c == '-' || c == '+';
        switch (want) {
            case Want::number:
                if (number) return true;
                if (c == '"') return fail(Problem::string, p_);
                if (c == '<') return fail(Problem::flag, p_);
                break;
            case Want::string:
                if (c == '"') return true;
                if (c == '<') return fail(Problem::flag, p_);
                if (number) return fail(Problem::number, p_);
                break;
            case Want::flag:
                if (c == '<') return true;
                if (c == '"') return fail(Problem::string, p_);
                if (number) return fail(Problem::number, p_);
                break;
        }
        p_ = token_end(p_);
    }
}

bool ValueReader::number_token(std::string_view& token) noexcept {
    const char* const start = p_;
    const char* const stop = token_end(p_);
    // Praat reads a number's characters as ASCII and refuses any other.
    bool beyond_ascii = false;
    for (const char* q = start; q != stop; ++q) {
        if (*q == '\0') return fail(Problem::nul, q);
        beyond_ascii |= static_cast<unsigned char>(*q) >= 0x80;
    }
    if (beyond_ascii) return fail(Problem::not_ascii, start);
    if (static_cast<std::size_t>(stop - start) > kMaxToken) return fail(Problem::too_long, start);
    token = std::string_view(start, static_cast<std::size_t>(stop - start));
    p_ = stop;
    return true;
}

bool ValueReader::integer(std::int64_t& out) noexcept {
    if (!find(Want::number)) return false;
    const char* const start = p_;
    std::string_view token;
    if (!number_token(token)) return false;
    std::size_t i = 0;
    bool negative = false;
    if (token[0] == '+' || token[0] == '-') negative = token[i++] == '-';
    std::int64_t value = 0;
    for (; i < token.size() && is_digit(token[i]); ++i) {
        value = value * 10 + (token[i] - '0');
        if (value > std::int64_t{1} << 40) value = std::int64_t{1} << 40;  // beyond any 32-bit value
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max() || value < std::numeric_limits<std::int32_t>::min()) {
        return fail(Problem::out_of_range, start);
    }
    out = value;
    return true;
}

bool ValueReader::string_slowly(std::string& out) {
    const char* const open = p_;
    const char* p = open + 1;
    const char* close = nullptr;
    std::size_t pairs = 0;
    while (!close) {
        const char* quote = quote_or_nul(p);
        if (quote == end_) return fail(Problem::end_in_string, open);
        if (*quote == '\0') return fail(Problem::nul, quote);
        if (quote + 1 != end_ && quote[1] == '"') {
            ++pairs;
            p = quote + 2;
        } else {
            close = quote;
        }
    }
    // Sized once, then filled a run at a time, each doubled quote made one:
    // one allocation however many quotes a label holds.
    out.resize(static_cast<std::size_t>(close - open - 1) - pairs);
    char* to = out.data();
    const char* from = open + 1;
    for (; pairs != 0; --pairs) {
        const char* const quote = static_cast<const char*>(std::memchr(from, '"', static_cast<std::size_t>(close - from)));
        const auto run = static_cast<std::size_t>(quote + 1 - from);
        std::memcpy(to, from, run);
        to += run;
        from = quote + 2;
    }
    std::memcpy(to, from, static_cast<std::size_t>(close - from));
    p_ = close + 1;
    if (p_ != end_ && *p_ == '\0') return fail(Problem::nul, p_);
    if (p_ != end_ && space_length(p_, end_) == 0) return fail(Problem::after_quote, p_);
    return true;
}

bool ValueReader::flag(std::string_view& out) noexcept {
    if (!find(Want::flag)) return false;
    const char* const open = p_;
    std::size_t characters = 0;
    for (const char* p = open + 1; p != end_; ++p) {
        if (*p == '\0') return fail(Problem::nul, p);
        if (*p == '>') {
            out = std::string_view(open + 1, static_cast<std::size_t>(p - open - 1));
            p_ = p + 1;
            return true;
        }
        characters += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
        if (characters > kMaxToken) return fail(Problem::too_long, open);
    }
    return fail(Problem::end_in_flag, open);
}

bool ValueReader::only_comment_left() noexcept {
    // As the search for an integer goes: only the end of the text stops it
    // without a value.
    if (find(Want::number)) return false;
    return problem_ == Problem::end;
}

void ValueReader::skip_line() noexcept {
    while (p_ != end_ && *p_ != '\n' && *p_ != '\r') ++p_;
}

std::string_view ValueReader::after_quote() const noexcept {
    if (!problem_at_ || problem_at_ == end_) return {};
    std::size_t n = 1;
    const auto c = static_cast<unsigned char>(*problem_at_);
    if (c >= 0xC0) n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    n = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - problem_at_));
    return {problem_at_, n};
}

std::size_t ValueReader::line_of(const char* p) const noexcept {
    return 1 + static_cast<std::size_t>(std::count(begin_, p, '\n'));
}

}  // namespace textgrid::praat
