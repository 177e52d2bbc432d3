#include "textgrid/text/text_scan.h"

#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace textgrid::scan {

namespace {

[[gnu::always_inline]] inline const char* line_break_from(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    // Sixteen bytes at a time: lines of the long layout are some thirty
    // bytes long, so most line ends are found in the first or second step.
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(breaks));
        if (hits) return p + std::countr_zero(hits);
        p += 16;
    }
#else
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
#endif
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
}

}  // namespace

const char* find_line_break(const char* p, const char* end) noexcept { return line_break_from(p, end); }

const char* find_byte(const char* p, const char* end, char c, [[maybe_unused]] const char* readable_end) noexcept {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(c);
    while (readable_end - p >= 16 && p < end) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
        if (hits) {
            const char* found = p + std::countr_zero(hits);
            return found < end ? found : nullptr;
        }
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (*p == c) return p;
    }
    return nullptr;
}

bool LineCursor::next(std::string_view& line) noexcept {
    if (pos_ >= stop_) return false;
    const char* brk = find_line_break(pos_, end_);
    line = std::string_view(pos_, static_cast<std::size_t>(brk - pos_));
    pos_ = after_line_break(brk, end_);
    return true;
}

bool LineCursor::next_trimmed(std::string_view& line) noexcept {
    if (pos_ >= stop_) return false;
    const char* first = skip_blanks(pos_, end_);
    const char* brk = line_break_from(first, end_);
    pos_ = after_line_break(brk, end_);
    line = std::string_view(first, static_cast<std::size_t>(brk - first));
    // The white space that skip_blanks leaves: VT, FF and the non-ASCII kinds.
    if (!line.empty()) {
        const auto c = static_cast<unsigned char>(line.front());
        if (c >= 0x80 || c == '\v' || c == '\f') line = trim_front(line);
    }
    line = trim_back(line);
    return true;
}

bool LineCursor::quoted_value_at(const char* p, std::string& out) {
    if (p == end_ || *p != '"') return false;
    const char* close = read_quoted(p, end_, out);
    if (!close) return false;
    // The line that holds the closing quote is the last one the value takes,
    // whether that is the line it opened on or a later one.
    if (!end_line_at(close + 1)) resume_after_line_of(close);
    return true;
}

void LineCursor::resume_after_line_of(const char* p) noexcept {
    pos_ = after_line_break(find_line_break(p, end_), end_);
}

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

using detail::is_ascii_space;

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

}  // namespace

namespace detail {

std::string_view trim_front_rest(std::string_view s) noexcept {
    const char* p = s.data();
    const char* const end = p + s.size();
    for (;;) {
        while (p != end && is_ascii_space(static_cast<unsigned char>(*p))) ++p;
        if (p == end || static_cast<unsigned char>(*p) < 0x80) break;
        const std::size_t k = space_at_front({p, static_cast<std::size_t>(end - p)});
        if (k == 0) break;
        p += k;
    }
    return {p, static_cast<std::size_t>(end - p)};
}

std::string_view trim_back_rest(std::string_view s) noexcept {
    const char* const begin = s.data();
    const char* e = begin + s.size();
    for (;;) {
        while (e != begin && is_ascii_space(static_cast<unsigned char>(e[-1]))) --e;
        if (e == begin || static_cast<unsigned char>(e[-1]) < 0x80) break;
        const std::size_t k = space_at_back({begin, static_cast<std::size_t>(e - begin)});
        if (k == 0) break;
        e -= k;
    }
    return {begin, static_cast<std::size_t>(e - begin)};
}

}  // namespace detail

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

const char* detail::read_quoted_rest(const char* open, const char* end, std::string& out) {
    const char* p = open + 1;
    out.clear();
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
