// The small pieces both readers are made of: walking lines, trimming,
// reading numbers, counts and quoted strings. All of them look at the file's
// text in place and never allocate, except for a quoted string's content.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "textgrid/base/ascii.h"
#include "textgrid/text/number_read.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace textgrid::scan {

// The first LF or CR in [p, end), or end when there is none.
const char* find_line_break(const char* p, const char* end) noexcept;

// The first byte equal to c in [p, end), or nullptr. Bytes up to
// readable_end (at or past end) may be read, which lets a short stretch be
// searched in one step; keys before a '=' are a few bytes long, and a call
// to memchr costs more than the search.
const char* find_byte(const char* p, const char* end, char c, const char* readable_end) noexcept;

// The first byte in [p, end) that is neither a space nor a tab, or end.
// Inline: it runs at the start of every line, most often over no blank at
// all (the short layout) or over a run of indentation spaces.
inline const char* skip_blanks(const char* p, const char* end) noexcept {
    if (p != end && *p != ' ' && *p != '\t') return p;
#if defined(__SSE2__)
    // Runs of spaces sixteen at a time; a tab ends the run and is stepped
    // over below with whatever blanks follow it.
    const __m128i space = _mm_set1_epi8(' ');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)));
        if (spaces != 0xFFFF) {
            p += std::countr_zero(~spaces);
            break;
        }
        p += 16;
    }
#endif
    while (p != end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

// Where the line after a line break found by find_line_break starts: past
// the break, and past a CR LF pair as a whole (end stays end).
inline const char* after_line_break(const char* brk, const char* end) noexcept {
    if (brk == end) return end;
    if (*brk == '\r' && brk + 1 < end && brk[1] == '\n') return brk + 2;
    return brk + 1;
}

// The decimal that starts at p, read as parse_number reads a whole value,
// up to the first byte that cannot continue it; bytes up to readable_end
// may be read. Returns where it ends and sets `out`, or returns nullptr
// when p holds no decimal. Infinity and NaN are not read here.
[[gnu::always_inline]] inline const char* parse_number_prefix(const char* p, const char* readable_end, double& out) noexcept {
    return detail::read_decimal(p, readable_end, readable_end, out);
}

// Walks the text line by line. A line ends at LF, at CR LF, or at a CR alone
// (the line end of classic Mac files). A last line without a line end is a
// line only when it is not empty, so "a\n" holds one line and "" none.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) noexcept : LineCursor(text, 0, text.size()) {}

    // Walks only the lines that start in text[first, stop), where first is
    // the start of a line; a quoted value may still run on to the end of the
    // whole text, as it would for a cursor over all of it. That lets a part
    // of a text be read exactly as the whole would read it, and position()
    // then tells whether a value carried the cursor past stop.
    LineCursor(std::string_view text, std::size_t first, std::size_t stop) noexcept
        : begin_(text.data()), pos_(text.data() + first), stop_(text.data() + stop), end_(text.data() + text.size()) {}

    // The next line without its line end; false when no line starts before
    // the stop.
    bool next(std::string_view& line) noexcept;

    // next() with the line trimmed at both ends (trim_front, trim_back); the indentation is skipped
    // on the way to the line end rather than walked again.
    bool next_trimmed(std::string_view& line) noexcept;

    // Shortcuts for the line shapes Praat writes, tried before the general
    // reading. Each takes the next line only when it has exactly its shape,
    // with the result that next_trimmed and reading the value would give;
    // otherwise it returns false and takes nothing.
    //
    // A line holding a decimal between blanks.
    [[gnu::always_inline]] bool number_line(double& out) noexcept {
        if (pos_ >= stop_) return false;
        double value;
        const char* value_end = parse_number_prefix(skip_blanks(pos_, end_), end_, value);
        if (!value_end || !end_line_at(value_end)) return false;
        out = value;
        return true;
    }
    // A line "key = decimal", blanks allowed around each part.
    template <std::size_t N>
    [[gnu::always_inline]] bool key_number_line(const char (&key)[N], double& out) noexcept {
        const char* p = key_value(key, N - 1);
        if (!p) return false;
        double value;
        const char* value_end = parse_number_prefix(p, end_, value);
        if (!value_end || !end_line_at(value_end)) return false;
        out = value;
        return true;
    }
    // A line whose value opens with a quote that closes (take_string's
    // first case), alone or after "key =".
    bool quoted_line(std::string& out) { return pos_ < stop_ && quoted_value_at(skip_blanks(pos_, end_), out); }
    template <std::size_t N>
    bool key_quoted_line(const char (&key)[N], std::string& out) {
        const char* p = key_value(key, N - 1);
        return p && quoted_value_at(p, out);
    }
    // The next line, when it is one that `wanted` accepts once the blanks
    // before it are skipped (the line passed keeps what ends it).
    template <typename Wanted>
    bool next_line_if(Wanted&& wanted) noexcept {
        if (pos_ >= stop_) return false;
        const char* first = skip_blanks(pos_, end_);
        const char* brk = find_line_break(first, end_);
        if (!wanted(std::string_view(first, static_cast<std::size_t>(brk - first)))) return false;
        pos_ = after_line_break(brk, end_);
        return true;
    }

    // Where the next line would start; at or past the stop once next() has
    // returned false.
    const char* position() const noexcept { return pos_; }

    // Goes on after the line that holds `p` (a pointer into the text).
    void resume_after_line_of(const char* p) noexcept;

    // The content of a value as the readers take it. A value that opens with
    // a quote runs to its closing quote (read_quoted), over line ends if need
    // be; the lines it spans are then used up, so they are never read as
    // structure and later positions shift by them. A value that does not
    // open with a quote, or does not close before the text ends, only loses
    // its enclosing quotes. `value` must point into this cursor's text, on
    // the line last returned.
    void take_string(std::string_view value, std::string& out);

    const char* text_end() const noexcept { return end_; }
    const char* text_begin() const noexcept { return begin_; }

private:
    // Past "key" and "=" with blanks around them, or nullptr. Praat writes
    // one space on either side of the "=".
    [[gnu::always_inline]] const char* key_value(const char* key, std::size_t size) const noexcept {
        if (pos_ >= stop_) return nullptr;
        const char* p = skip_blanks(pos_, end_);
        if (static_cast<std::size_t>(end_ - p) < size + 3 || std::memcmp(p, key, size) != 0) return nullptr;
        p += size;
        if (p[0] == ' ' && p[1] == '=' && p[2] == ' ' && p + 3 != end_ && p[3] != ' ' && p[3] != '\t') return p + 3;
        p = skip_blanks(p, end_);
        return p != end_ && *p == '=' ? skip_blanks(p + 1, end_) : nullptr;
    }

    bool quoted_value_at(const char* p, std::string& out);

    // Ends a line read by a shortcut at `value_end`; false when more than
    // blanks follow there.
    bool end_line_at(const char* p) noexcept {
        // A blank or two at most follow a value: no vector step for them.
        while (p != end_ && (*p == ' ' || *p == '\t')) ++p;
        if (p != end_ && *p != '\n' && *p != '\r') return false;
        pos_ = after_line_break(p, end_);
        return true;
    }

    const char* begin_;
    const char* pos_;
    const char* stop_;
    const char* end_;
};

// trim_front and trim_back (below) remove white space at the front and at
// the back: ASCII tab, LF, VT, FF, CR, space, and the other characters
// Unicode classes as white space (U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000). The input must be valid UTF-8.

namespace detail {
// The trims from the first non-ASCII byte on, where the multi-byte white
// space must be looked for.
std::string_view trim_front_rest(std::string_view s) noexcept;
std::string_view trim_back_rest(std::string_view s) noexcept;

using textgrid::is_ascii_space;
}  // namespace detail

// White space is ASCII nearly always, and these run for every line: the
// ASCII part is inline, the rest out of line.
inline std::string_view trim_front(std::string_view s) noexcept {
    const std::string_view rest = trim_ascii_front(s);
    return !rest.empty() && static_cast<unsigned char>(rest.front()) >= 0x80 ? detail::trim_front_rest(rest) : rest;
}

inline std::string_view trim_back(std::string_view s) noexcept {
    const std::string_view kept = trim_ascii_back(s);
    return !kept.empty() && static_cast<unsigned char>(kept.back()) >= 0x80 ? detail::trim_back_rest(kept) : kept;
}

// An optional "+" and one or more decimal digits that fit in 64 bits;
// anything else gives 0.
std::uint64_t parse_count(std::string_view s) noexcept;

// Strips every double quote at the start and at the end; none inside.
std::string_view strip_quotes(std::string_view s) noexcept;

namespace detail {
// read_quoted past its first sixteen bytes: the general loop.
const char* read_quoted_rest(const char* open, const char* end, std::string& out);
}  // namespace detail

// Reads the quoted string whose opening quote is at `open` (a pointer into
// text that ends at `end`): its content runs to the first quote not directly
// followed by another, and each doubled quote inside stands for one. The
// content may run over line ends, which it then keeps as they are in the
// text. Writes the content to `out` and returns the closing quote's address,
// or nullptr when the text ends first (`out` is then unspecified).
inline const char* read_quoted(const char* open, const char* end, std::string& out) {
#if defined(__SSE2__)
    // Most labels are short: their closing quote lies in the next sixteen
    // bytes, found there without a call to memchr.
    const char* p = open + 1;
    if (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))));
        if (quotes != 0) {
            const char* q = p + std::countr_zero(quotes);
            if (q + 1 == end || q[1] != '"') {  // a doubled quote takes the general loop
                out.assign(p, q);
                return q;
            }
        }
    }
#endif
    return detail::read_quoted_rest(open, end, out);
}

}  // namespace textgrid::scan
