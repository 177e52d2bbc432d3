// The line and white-space scanners against plain byte-by-byte versions of
// the same rules, over random texts built from the pieces that matter:
// blanks, every line end (LF, CR LF, a lone CR), the other ASCII white
// space, multi-byte white space and ordinary characters, at every offset
// around the 16-byte steps the scanners take.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/text/number.h"
#include "textgrid/text/text_scan.h"

using namespace textgrid::scan;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok && ++failures <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

const std::vector<std::string> kSpaces = {"\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A",
                                          "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                                          "\xE3\x80\x80"};

bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::size_t space_prefix(std::string_view s) {
    if (!s.empty() && ascii_space(s[0])) return 1;
    for (const std::string& u : kSpaces) {
        if (s.substr(0, u.size()) == u) return u.size();
    }
    return 0;
}

std::size_t space_suffix(std::string_view s) {
    if (!s.empty() && ascii_space(s.back())) return 1;
    for (const std::string& u : kSpaces) {
        if (s.size() >= u.size() && s.substr(s.size() - u.size()) == u) return u.size();
    }
    return 0;
}

std::string_view trim(std::string_view s) { return trim_back(trim_front(s)); }

std::string_view reference_trim(std::string_view s) {
    while (std::size_t k = space_prefix(s)) s.remove_prefix(k);
    while (std::size_t k = space_suffix(s)) s.remove_suffix(k);
    return s;
}

// Lines end at LF, CR LF or a lone CR; a last line without an end counts
// only when not empty.
std::vector<std::string_view> reference_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string random_text(std::mt19937& rng, int pieces) {
    static const std::vector<std::string> kPieces = {" ", " ", "    ", "\t", "\n", "\r\n", "\r", "\v", "\f", "x",
                                                     "xmin = 1.5", "=", "\"a b\"", "\xC3\xA9", "\xE2\x98\x86"};
    std::string text;
    std::uniform_int_distribution<std::size_t> piece(0, kPieces.size() + kSpaces.size() - 1);
    for (int i = 0; i < pieces; ++i) {
        const std::size_t k = piece(rng);
        text += k < kPieces.size() ? kPieces[k] : kSpaces[k - kPieces.size()];
    }
    return text;
}

void lines_match_reference(std::mt19937& rng) {
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(rng, std::uniform_int_distribution<int>(0, 40)(rng));
        const std::vector<std::string_view> want = reference_lines(text);
        LineCursor raw(text), trimmed(text);
        std::string_view a, b;
        std::size_t n = 0;
        for (; raw.next(a); ++n) {
            check(trimmed.next_trimmed(b), "next_trimmed stops early");
            check(n < want.size() && a == want[n], "line " + std::to_string(n) + " of a random text");
            check(b == reference_trim(a), "trimmed line " + std::to_string(n) + " of a random text");
            check(trim(a) == reference_trim(a), "trim of a random line");
        }
        check(n == want.size() && !trimmed.next_trimmed(b), "line count of a random text");
    }
}

void find_byte_matches_reference(std::mt19937& rng) {
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(rng, std::uniform_int_distribution<int>(0, 30)(rng));
        const std::size_t end = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, end)(rng);
        const auto expected = text.substr(0, end).find('=', at);
        const char* got = find_byte(text.data() + at, text.data() + end, '=', text.data() + text.size());
        check(expected == std::string::npos ? got == nullptr : got == text.data() + expected,
              "find_byte stops at the stretch's end, not the text's");
    }
}

// Lines near the shapes the readers' shortcuts take. A shortcut must either
// decline and leave the cursor where it was, or give what the general
// reading gives: next_trimmed, the key before the first "=", and the value
// read by parse_number or take_string; and leave the cursor where that does.
std::string random_key_line(std::mt19937& rng) {
    static const std::vector<std::string> kIndent = {"", "            ", "        ", "\t", " \t ", "\v", "\xC2\xA0"};
    static const std::vector<std::string> kKeys = {"xmin", "xmin", "text", "xmi", "xminx", "Xmin", "", "text "};
    static const std::vector<std::string> kEquals = {" = ", " = ", "=", "  =  ", "\t=\t", " =", "= ", " : ", " =\v"};
    static const std::vector<std::string> kValues = {
        "1.5", "0.12345678901234567", "-2", "+3e-5", "1e", ".5", "5.", ".", "inf", "1.5x", "1.5 2", "",
        "123456789012345678901234", "\"a\"", "\"a\"\"b\"", "\"two\nlines\"", "\"open", "\"x\" junk", "\"\"",
        "1.5\xC2\xA0", "\xE3\x80\x80" "1",
        // a closing or doubled quote on either side of the sixteenth byte
        "\"12345678901234\"\"x\"", "\"123456789012345\"\"x\"", "\"1234567890123456\"\"x\"", "\"123456789012345\"",
        "\"1234567890123456\"", "\"12345678901234\"\""};
    static const std::vector<std::string> kEnds = {"\n", "\n", " \n", "\r\n", "\r", "\t\r\n", "\v\n", "", " "};
    auto pick = [&](const std::vector<std::string>& v) {
        return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)];
    };
    const bool keyed = rng() % 4 != 0;
    return pick(kIndent) + (keyed ? pick(kKeys) + pick(kEquals) : "") + pick(kValues) + pick(kEnds) + "next\n";
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void shortcuts_agree_with_general_reading(std::mt19937& rng) {
    for (int round = 0; round < 40000; ++round) {
        const std::string text = random_key_line(rng);
        const std::string shown = "shortcut on \"" + text + "\"";
        std::string_view line;
        LineCursor general(text);
        general.next_trimmed(line);
        std::string_view key, value = line;
        if (const auto eq = line.find('='); eq != std::string_view::npos) {
            key = trim(line.substr(0, eq));
            value = trim(line.substr(eq + 1));
        }
        std::string general_label;
        general.take_string(value, general_label);

        LineCursor cursor(text);
        double number = 0;
        std::string label;
        const char* start = cursor.position();
        if (cursor.number_line(number)) {
            check(same_double(number, parse_number(line)) && cursor.position() == general.position(), shown);
        } else {
            check(cursor.position() == start, shown + " (declined, moved)");
        }
        LineCursor keyed(text);
        if (keyed.key_number_line("xmin", number)) {
            check(key == "xmin" && same_double(number, parse_number(value)), shown);
            LineCursor after(text);
            after.next_trimmed(line);
            check(keyed.position() == after.position(), shown + " (position)");
        } else {
            check(keyed.position() == start, shown + " (declined, moved)");
        }
        LineCursor quoted(text);
        if (quoted.quoted_line(label)) {
            check(label == general_label && quoted.position() == general.position() && !line.empty() &&
                      line.front() == '"',
                  shown);
        }
        LineCursor keyed_quoted(text);
        if (keyed_quoted.key_quoted_line("text", label)) {
            LineCursor again(text);
            again.next_trimmed(line);
            std::string expected;
            again.take_string(value, expected);
            check(key == "text" && label == expected && keyed_quoted.position() == again.position(), shown);
        } else {
            check(keyed_quoted.position() == start, shown + " (declined, moved)");
        }
    }
}

}  // namespace

int main() {
    std::mt19937 rng(11);
    lines_match_reference(rng);
    find_byte_matches_reference(rng);
    shortcuts_agree_with_general_reading(rng);
    if (failures) {
        std::fprintf(stderr, "test_text_scan: %d failures\n", failures);
        return 1;
    }
    std::printf("test_text_scan: all checks passed\n");
    return 0;
}
