// Reading a text as Praat reads its text files: a stream of free-standing
// values (numbers, quoted strings, <flags>) with anything else between them
// taken as comment. Knows nothing of what the values mean; the reader of a
// layout asks for one kind of value after another and names what it wanted
// when a value is missing or of the wrong kind.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "textgrid/text/number_read.h"

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
        const char* const start = p_;
        const char* q = start + (*start == '-' || *start == '+');
        // The common case, a plain decimal that ends at white space, in one pass.
        if (q != end_ && scan::detail::is_digit(*q)) {
            double value;
            const char* stop = scan::detail::read_decimal(start, end_, end_, value);
            if (stop && stop - start <= static_cast<std::ptrdiff_t>(kMaxToken) &&
                (stop == end_ || space_length(stop, end_))) {
                out = value;
                p_ = stop;
                return true;
            }
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
    bool string(std::string& out);

    // The text between < and >.
    bool flag(std::string_view& out) noexcept;

    // True when nothing but white space, comments and pieces of text that
    // begin no value are left (an integer would find the end).
    bool only_comment_left() noexcept;

    // Goes on from the start of the line after the current one.
    void skip_line() noexcept;

    Problem problem() const noexcept { return problem_; }
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
        // The common texts in one tight loop: ASCII blanks, and words that
        // begin no value ("xmin", "=", "intervals", "[1]:") skipped whole.
        // Anything else (the end, a comment, a control or non-ASCII byte,
        // a value of the wrong kind) goes the general way.
        for (;;) {
            while (p_ != end_ && is_ascii_blank(static_cast<unsigned char>(*p_))) ++p_;
            if (p_ == end_) break;
            const char c = *p_;
            if (want == Want::number ? (scan::detail::is_digit(c) || c == '-' || c == '+')
                                     : c == (want == Want::string ? '"' : '<')) {
                return true;
            }
            if (!is_word_start(c)) break;
            ++p_;
            while (p_ != end_ && static_cast<unsigned char>(*p_ - 0x21) < 0x5E) ++p_;
            if (p_ != end_ && !is_ascii_blank(static_cast<unsigned char>(*p_))) break;
        }
        return find_slowly(want);
    }
    // A printable ASCII byte that begins no value and no comment.
    static bool is_word_start(char c) noexcept {
        return static_cast<unsigned char>(c - 0x21) < 0x5E && c != '!' && c != '"' && c != '<' && c != '-' &&
               c != '+' && !scan::detail::is_digit(c);
    }
    bool find_slowly(Want want) noexcept;
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
