#include "textgrid/text_scan.h"

#include <charconv>
#include <cstring>

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
