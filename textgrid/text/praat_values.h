// Reading a text as Praat reads its text files: a stream of free-standing
// values (numbers, quoted strings, <flags>) with anything else between them
// taken as comment. Knows nothing of what the values mean; the reader of a
// layout asks for one kind of value after another and names what it wanted
// when a value is missing or of the wrong kind.
#pragma once

#include <bit>
#include <cmath>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "textgrid/text/number_read.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace textgrid::praat {

// Longer numbers and flags are not read: Praat reads them into a buffer of
// this many characters.
inline constexpr std::size_t kMaxToken = 40;

// The byte length of the white space character at p (ASCII blanks and line
// ends, U+0085 and Unicode's separators, which Praat all skips between
// values), or 0.
std::size_t unicode_space_length(const char* p, const char* end) noexcept;

[[gnu::always_inline]] inline bool is_ascii_blank(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

[[gnu::always_inline]] inline std::size_t space_length(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) return is_ascii_blank(c) ? 1 : 0;
    return unicode_space_length(p, end);
}

// A number token as Praat reads it: "a/b" divides (a zero or undefined
// denominator makes it undefined); each side must begin
// [+-]digits[.digits][e[+-]digits] and is then read as C's strtod reads it
// (hexadecimal floating point included, trailing text ignored), a '%' right
// after that beginning multiplying it by 0.01. Undefined values give NaN; a
// number too large for a double is infinite, as strtod makes it (Praat
// keeps it so, and then refuses it wherever an xmax must not be smaller).
// Never throws.
double read_number_token(std::string_view token) noexcept;

// What stood where a value was wanted, when it could not be read.
enum class Problem {
    none,
    end,             // the text ended
    string,          // a quoted string
    flag,            // a <flag>
    number,          // a number (where a string or flag was wanted)
    too_long,        // a number or flag of more than kMaxToken characters
    not_ascii,       // a number holding a character beyond ASCII
    after_quote,     // a character right after a string's closing quote
    end_in_string,   // the text ended inside a string
    end_in_flag,     // the text ended inside a flag
    out_of_range,    // an integer beyond 32 bits
    nul,             // a NUL byte, which Praat drops from a text before reading
};

class ValueReader {
public:
    explicit ValueReader(std::string_view text) noexcept
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    // Each reader skips white space, "!" comments and pieces of text that
    // cannot begin the value wanted, then reads the value. false: the
    // problem() at problem_at() stopped it.

    // A real number; undefined ones read as NaN, too large ones as infinity.
    [[gnu::always_inline]] bool real(double& out) noexcept {
        if (!find(Want::number)) return false;
        // The common case, a plain decimal that ends at white space, in one pass.
        double value;
        const char* const stop = plain_decimal(p_, value);
        if (stop && (stop == end_ || space_length(stop, end_))) {
            out = value;
            p_ = stop;
            return true;
        }
        std::string_view token;
        if (!number_token(token)) return false;
        out = read_number_token(token);
        return true;
    }

    // An integer: its leading decimal digits after an optional sign, which
    // must fit in 32 bits ("3.7" is 3, "0x3" is 0).
    bool integer(std::int64_t& out) noexcept;

    // A quoted string, "" standing for one quote; every other byte is kept
    // as it is, line ends included. The closing quote must be followed by
    // white space or the end of the text.
    [[gnu::always_inline]] bool string(std::string& out) {
        if (!find(Want::string)) return false;
        const char* const open = p_;
        const char* const q = quote_or_nul(open + 1);
        // The common case: no doubled quote, white space after the closing one.
        if (q != end_ && *q == '"' && q + 1 != end_ && is_ascii_blank(static_cast<unsigned char>(q[1]))) {
            out.assign(open + 1, q);
            p_ = q + 1;
            return true;
        }
        return string_slowly(out);
    }

    // Shortcuts for the lines Praat writes in the long layout, tried before
    // the general reading: each reads its line only when it has exactly
    // that shape, with the value the general reading would give, and
    // otherwise returns false having moved nothing.
    //
    // The keys and prefixes are literals, so that their lengths are known
    // where they are compared and the comparisons are a load or two.
    //
    // "key = number" (a plain decimal) at the end of its line.
    template <std::size_t N>
    [[gnu::always_inline]] bool key_real(const char (&key)[N], double& out) noexcept {
        const char* const start = after_key(key);
        if (!start) return false;
        double value;
        const char* const stop = plain_decimal(start, value);
        if (!stop || (stop != end_ && *stop != '\n' && *stop != '\r' && *stop != ' ')) return false;
        out = value;
        p_ = stop;
        return true;
    }
    // "key = \"text\"" with no quote inside, at the end of its line.
    template <std::size_t N>
    [[gnu::always_inline]] bool key_string(const char (&key)[N], std::string& out) {
        const char* const open = after_key(key);
        if (!open || open == end_ || *open != '"') return false;
        const char* const q = quote_or_nul(open + 1);
        if (q == end_ || *q != '"' || (q + 1 != end_ && q[1] != '\n' && q[1] != '\r' && q[1] != ' ')) return false;
        out.assign(open + 1, q);
        p_ = q + 1;
        return true;
    }
    // The short layout's lines: each value alone on the next line, after
    // the line feed at the position. Read only when the whole item has that
    // shape and its times are finite (so that strict reading has nothing to
    // refuse), with the values the general reading would give; otherwise
    // false, having moved nothing.
    [[gnu::always_inline]] bool line_interval(double& xmin, double& xmax, std::string& label) {
        const char* p = p_;
        double a, b;
        if (!line_real(p, a) || !line_real(p, b) || !line_label(p, label)) return false;
        xmin = a;
        xmax = b;
        p_ = p;
        return true;
    }
    [[gnu::always_inline]] bool line_point(double& time, std::string& label) {
        const char* p = p_;
        double a;
        if (!line_real(p, a) || !line_label(p, label)) return false;
        time = a;
        p_ = p;
        return true;
    }
    // An item's line "prefix [digits]:" at the end of its line, passed over.
    template <std::size_t N>
    [[gnu::always_inline]] bool skip_item_line(const char (&prefix_text)[N]) noexcept {
        constexpr std::size_t prefix_size = N - 1;
        const char* p = next_line();
        if (!p) return false;
        if (static_cast<std::size_t>(end_ - p) < prefix_size + 4 || !same_bytes(p, prefix_text) ||
            p[prefix_size] != ' ' || p[prefix_size + 1] != '[') {
            return false;
        }
        p += prefix_size + 2;
        const char* const digits = p;
        while (p != end_ && scan::detail::is_digit(*p)) ++p;
        if (p == digits || end_ - p < 2 || p[0] != ']' || p[1] != ':') return false;
        p_ = p + 2;
        return true;
    }

    // The text between < and >.
    bool flag(std::string_view& out) noexcept;

    // True when nothing but white space, comments and pieces of text that
    // begin no value are left (an integer would find the end).
    bool only_comment_left() noexcept;

    // Goes on from the start of the line after the current one.
    void skip_line() noexcept;

    Problem problem() const noexcept { return problem_; }
    // True when reading stopped at a NUL byte: the text must be read again
    // without its NUL bytes.
    bool stopped_at_nul() const noexcept { return problem_ == Problem::nul; }
    const char* problem_at() const noexcept { return problem_at_; }
    // The byte after a string's closing quote, for Problem::after_quote.
    std::string_view after_quote() const noexcept;
    // The 1-based line number of p.
    std::size_t line_of(const char* p) const noexcept;
    const char* position() const noexcept { return p_; }

private:
    enum class Want { number, string, flag };

    bool fail(Problem problem, const char* at) noexcept {
        problem_ = problem;
        problem_at_ = at;
        return false;
    }

    // To the first byte of a value that can be the one wanted; fails on the
    // end of the text and on a value of the wrong kind.
    [[gnu::always_inline]] bool find(Want want) noexcept {
        // The common texts in one tight loop: blanks, and words that begin
        // no value ("xmin", "=", "intervals", "[1]:") skipped whole, eight
        // bytes a step where the text allows. Anything else (the end, a
        // comment, a control or non-ASCII byte, a value of the wrong kind)
        // goes the general way. The position stays in a register meanwhile.
        const char* p = p_;
        const char* const end = end_;
        // One value a line, as the short layout has them.
        if (end - p >= 2 && p[0] == '\n' && starts(want, p[1])) {
            p_ = p + 1;
            return true;
        }
        for (;;) {
            p = skip_blanks(p, end);
            if (p == end) break;
            const char c = *p;
            if (starts(want, c)) {
                p_ = p;
                return true;
            }
            if (!is_word_start(c)) break;
            p = skip_printable(p + 1, end);
            if (p != end && !is_ascii_blank(static_cast<unsigned char>(*p))) break;
        }
        p_ = p;
        return find_slowly(want);
    }
    [[gnu::always_inline]] static bool starts(Want want, char c) noexcept {
        return want == Want::number ? (scan::detail::is_digit(c) || c == '-' || c == '+')
                                    : c == (want == Want::string ? '"' : '<');
    }
    // The start of a line "key = " as Praat writes it, after the line end
    // and indentation at p_: where its value begins, or nullptr for any
    // other text. What it passes over are blanks and words that begin no
    // value, so the value found is the one find() would find.
    template <std::size_t N>
    [[gnu::always_inline]] const char* after_key(const char (&key)[N]) const noexcept {
        constexpr std::size_t key_size = N - 1;
        const char* p = next_line();
        if (!p) return nullptr;
        if (static_cast<std::size_t>(end_ - p) < key_size + 4 || !same_bytes(p, key) ||
            !same_bytes(p + key_size, " = ")) {
            return nullptr;
        }
        return p + key_size + 3;
    }
    // When only blanks are left on the current line (Praat ends a value's
    // line with one), the start of the next line past its indentation;
    // otherwise nullptr.
    [[gnu::always_inline]] const char* next_line() const noexcept {
        const char* p = p_;
        while (p != end_ && *p == ' ') ++p;
        if (p != end_ && *p == '\r') ++p;
        if (p == end_ || *p != '\n') return nullptr;
        return skip_indent(p + 1, end_);
    }
    // The literal's bytes at p, compared in a few loads of a word or less
    // (overlapping where the length asks for it): a library memcmp call
    // costs more than the compare of these few bytes.
    template <std::size_t N>
    [[gnu::always_inline]] static bool same_bytes(const char* p, const char (&literal)[N]) noexcept {
        constexpr std::size_t n = N - 1;
        static_assert(n >= 1 && n <= 16);
        if constexpr (n >= 8) {
            return load(p) == load(literal) && load(p + n - 8) == load(literal + n - 8);
        } else if constexpr (n >= 4) {
            return load_as<std::uint32_t>(p) == load_as<std::uint32_t>(literal) &&
                   load_as<std::uint32_t>(p + n - 4) == load_as<std::uint32_t>(literal + n - 4);
        } else if constexpr (n >= 2) {
            return load_as<std::uint16_t>(p) == load_as<std::uint16_t>(literal) &&
                   load_as<std::uint16_t>(p + n - 2) == load_as<std::uint16_t>(literal + n - 2);
        } else {
            return *p == *literal;
        }
    }
    template <class T>
    [[gnu::always_inline]] static T load_as(const char* p) noexcept {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    // Over a line's indentation: spaces a word at a time, and tabs, which
    // some tools indent with.
    [[gnu::always_inline]] static const char* skip_indent(const char* p, const char* end) noexcept {
        for (;;) {
            p = skip_spaces(p, end);
            if (p == end || *p != '\t') return p;
            ++p;
        }
    }
    [[gnu::always_inline]] static const char* skip_spaces(const char* p, const char* end) noexcept {
        while (end - p >= 8) {
            const std::uint64_t x = load(p) ^ (kOnes * ' ');
            if (x) return p + std::countr_zero(x) / 8;
            p += 8;
        }
        while (p != end && *p == ' ') ++p;
        return p;
    }
    // A plain decimal at start ([+-]digits[.digits][e[+-]digits], at most
    // kMaxToken characters), as the general reading reads it: where it
    // ends, or nullptr for any other text. start must be before the end.
    [[gnu::always_inline]] const char* plain_decimal(const char* start, double& value) const noexcept {
        const char* const digits = start + (*start == '-' || *start == '+');
        if (digits == end_ || !scan::detail::is_digit(*digits)) return nullptr;
        const char* const stop = scan::detail::read_decimal(start, end_, end_, value);
        return stop && stop - start <= static_cast<std::ptrdiff_t>(kMaxToken) ? stop : nullptr;
    }
    // A plain decimal alone on the line after the line feed at p, which it
    // moves to the end of that line.
    [[gnu::always_inline]] bool line_real(const char*& p, double& out) const noexcept {
        if (end_ - p < 3 || p[0] != '\n') return false;
        double value;
        const char* const stop = plain_decimal(p + 1, value);
        if (!stop || stop == end_ || *stop != '\n' || !std::isfinite(value)) return false;
        out = value;
        p = stop;
        return true;
    }
    // A quoted label without a doubled quote alone on the line after the
    // line feed at p, which it moves past the closing quote.
    [[gnu::always_inline]] bool line_label(const char*& p, std::string& out) {
        if (end_ - p < 3 || p[0] != '\n' || p[1] != '"') return false;
        const char* const q = quote_or_nul(p + 2);
        if (q == end_ || *q != '"' || (q + 1 != end_ && q[1] != '\n' && q[1] != '\r')) return false;
        out.assign(p + 2, q);
        p = q + 1;
        return true;
    }
    // A printable ASCII byte that begins no value and no comment.
    [[gnu::always_inline]] static bool is_word_start(char c) noexcept {
        return static_cast<unsigned char>(c - 0x21) < 0x5E && c != '!' && c != '"' && c != '<' && c != '-' &&
               c != '+' && !scan::detail::is_digit(c);
    }
    static constexpr std::uint64_t kOnes = 0x0101010101010101;
    static constexpr std::uint64_t kHighs = 0x8080808080808080;
    [[gnu::always_inline]] static std::uint64_t load(const char* p) noexcept { return load_as<std::uint64_t>(p); }
    // Over ASCII blanks; runs of spaces (indentation) a word at a time.
    [[gnu::always_inline]] static const char* skip_blanks(const char* p, const char* end) noexcept {
        for (;;) {
            if (end - p >= 8) {
                const std::uint64_t x = load(p) ^ (kOnes * ' ');
                if (x == 0) {
                    p += 8;
                    continue;
                }
                p += std::countr_zero(x) / 8;
            }
            if (p == end || !is_ascii_blank(static_cast<unsigned char>(*p))) return p;
            ++p;
        }
    }
    // Over printable ASCII (0x21 to 0x7E), to the first byte that is not.
    [[gnu::always_inline]] static const char* skip_printable(const char* p, const char* end) noexcept {
        while (end - p >= 8) {
            const std::uint64_t x = load(p);
            // Flags bytes below 0x21 and above 0x7E; only bytes after the
            // first flagged one can be flagged wrongly.
            const std::uint64_t flags = (((x - kOnes * 0x21) & ~x) | (x + kOnes) | x) & kHighs;
            if (flags) return p + std::countr_zero(flags) / 8;
            p += 8;
        }
        while (p != end && static_cast<unsigned char>(*p - 0x21) < 0x5E) ++p;
        return p;
    }
    bool find_slowly(Want want) noexcept;
    bool string_slowly(std::string& out);
    // The first '"' or NUL byte from p on, or end_.
    [[gnu::always_inline]] const char* quote_or_nul(const char* p) const noexcept {
#if defined(__SSE2__)
        // Most labels end within sixteen bytes: one compare finds the quote.
        while (end_ - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const auto hits = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_setzero_si128()))));
            if (hits) return p + std::countr_zero(hits);
            p += 16;
        }
#endif
        while (end_ - p >= 8) {
            const std::uint64_t v = load(p);
            const std::uint64_t x = v ^ (kOnes * '"');
            const std::uint64_t flags = (((x - kOnes) & ~x) | ((v - kOnes) & ~v)) & kHighs;
            if (flags) return p + std::countr_zero(flags) / 8;
            p += 8;
        }
        while (p != end_ && *p != '"' && *p != '\0') ++p;
        return p;
    }
    // The number token at p_ (to white space), moving past it.
    bool number_token(std::string_view& token) noexcept;
    const char* token_end(const char* p) const noexcept;

    const char* begin_;
    const char* p_;
    const char* end_;
    Problem problem_ = Problem::none;
    const char* problem_at_ = nullptr;
};

}  // namespace textgrid::praat
