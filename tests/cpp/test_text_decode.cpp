// Praat's text decoding (UTF-16 by byte order mark, UTF-8, Latin-1) and the
// reads that use it, which no Python function offers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/cpp/check.h"
#include "textgrid/layout/read.h"
#include "textgrid/text/text_decode.h"

using namespace textgrid;
using namespace std::string_literals;  // literals that hold NUL bytes

namespace {

using test_support::check;
using test_support::failures;

FileText file_text(const std::string& bytes) {
    char* data = static_cast<char*>(std::malloc(bytes.size() + 1));
    std::memcpy(data, bytes.data(), bytes.size());
    return FileText(data, bytes.size());
}

std::string utf16(const std::u16string& s, bool big_endian, bool mark = true) {
    std::string out;
    for (const char16_t u : (mark ? u"\uFEFF" : u"") + s) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += big_endian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

// Each case: the bytes, the setting, and the text or the error message.
struct Case {
    const char* name;
    std::string bytes;
    Encoding encoding;
    std::string want;
    bool error;
};

void test_table() {
    const std::u16string mixed = u"a\u00e9\u6f22 \U0001F600\r\n\U00010000\U0010FFFF";
    const std::string mixed_utf8 = "a\u00e9\u6f22 \U0001F600\r\n\U00010000\U0010FFFF";
    std::u16string runs;
    std::string runs_utf8;
    for (char k = 0; k < 12; ++k) {
        runs += std::u16string(static_cast<std::size_t>(k), static_cast<char16_t>(u'a' + k)) +
                u"\u00e9\u007f\u0080\U0001F600\u6f22";
        runs_utf8 += std::string(static_cast<std::size_t>(k), static_cast<char>('a' + k)) +
                     "\u00e9\x7f\u0080\U0001F600\u6f22";
    }
    const std::string not_utf8 = "stream did not contain valid UTF-8";
    const std::string binary = "binary TextGrid files are not supported";
    std::string all_bytes, all_latin1;
    for (int b = 1; b < 256; ++b) {
        all_bytes += static_cast<char>(b);
        all_latin1 += b < 0x80 ? std::string(1, static_cast<char>(b))
                               : std::string{static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
    }
    const std::vector<Case> cases = {
        {"utf-16be", utf16(mixed, true), Encoding::praat, mixed_utf8, false},
        {"utf-16le", utf16(mixed, false), Encoding::praat, mixed_utf8, false},
        // Runs of ASCII long enough for the word-at-a-time path, broken at
        // every position of a word by other characters.
        {"utf-16be long runs", utf16(runs, true), Encoding::praat, runs_utf8, false},
        {"utf-16le long runs", utf16(runs, false), Encoding::praat, runs_utf8, false},
        {"utf-16be bmp only", utf16(u"xmin = 0\n\u00fc", true), Encoding::praat, "xmin = 0\n\u00fc", false},
        {"utf-16le bmp only", utf16(u"xmin = 0\n\u00fc", false), Encoding::praat, "xmin = 0\n\u00fc", false},
        {"utf-16 nul kept", utf16(std::u16string(u"a\0b", 3), false), Encoding::praat, std::string("a\0b", 3), false},
        {"utf-16 mark only", "\xFE\xFF", Encoding::praat, "", false},
        {"utf-16 second mark kept", utf16(u"\uFEFFa", true), Encoding::praat, "\uFEFF" "a", false},
        {"utf-16be odd length", utf16(u"ab", true) + "x", Encoding::praat,
         "UTF-16 text ends in half a code unit (an odd number of bytes) at byte 6", true},
        {"utf-16le odd length", "\xFF\xFE" "a", Encoding::praat,
         "UTF-16 text ends in half a code unit (an odd number of bytes) at byte 2", true},
        {"high surrogate at end", utf16(u"ab", false) + "\x3D\xD8", Encoding::praat,
         "UTF-16 text holds an unpaired surrogate at byte 6", true},
        {"high surrogate then letter", utf16(u"a", true) + "\xD8\x3D\x00" "b"s, Encoding::praat,
         "UTF-16 text holds an unpaired surrogate at byte 4", true},
        {"two high surrogates", utf16(u"", true) + "\xD8\x3D\xD8\x3D\xDE\x00"s, Encoding::praat,
         "UTF-16 text holds an unpaired surrogate at byte 2", true},
        {"low surrogate alone", utf16(u"", false) + "\x00\xDE"s, Encoding::praat,
         "UTF-16 text holds an unpaired surrogate at byte 2", true},
        {"utf-8 mark dropped", "\xEF\xBB\xBFxmin", Encoding::praat, "xmin", false},
        {"utf-8 mark kept by utf8", "\xEF\xBB\xBFxmin", Encoding::utf8, "\xEF\xBB\xBFxmin", false},
        {"utf-8 as is", mixed_utf8, Encoding::praat, mixed_utf8, false},
        {"latin-1", "caf\xE9 \xA0\xFF", Encoding::praat, "caf\u00e9 \u00a0\u00ff", false},
        {"latin-1 every byte", all_bytes, Encoding::praat, all_latin1, false},
        {"latin-1 after utf-8 mark", "\xEF\xBB\xBF\xE9", Encoding::praat, "\u00e9", false},
        {"utf-8 prefix then latin-1", "\u00e9\xE9", Encoding::praat, "\u00c3\u00a9\u00e9", false},
        {"empty", "", Encoding::praat, "", false},
        {"utf-16 refused by utf8", utf16(u"a", true), Encoding::utf8, not_utf8, true},
        {"latin-1 refused by utf8", "caf\xE9", Encoding::utf8, not_utf8, true},
        {"binary under praat", "ooBinaryFile\x08TextGrid\x00\x00\xF0?"s, Encoding::praat, binary, true},
        {"binary under utf8", "ooBinaryFile\x08TextGrid\x00\x00\xF0?"s, Encoding::utf8, binary, true},
        {"binary that is ascii", "ooBinaryFile\x08TextGrid", Encoding::utf8, binary, true},
    };
    for (const Case& c : cases) {
        Result<FileText> got = decode_text(file_text(c.bytes), c.encoding);
        if (c.error) {
            check(!got.ok() && got.error().kind == ErrorKind::invalid_data && got.error().message == c.want,
                  std::string(c.name) + ": error " + (got.ok() ? "missing" : got.error().message));
        } else {
            check(got.ok() && got.value().view() == c.want,
                  std::string(c.name) + (got.ok() ? ": wrong text" : ": " + got.error().message));
            check(!got.ok() || is_valid_utf8(got.value().view()), std::string(c.name) + ": valid UTF-8");
        }
    }
}

// UTF-8 input, with or without its mark, is handed back without a copy.
void test_utf8_is_not_copied() {
    for (const std::string bytes : {"xmin = 0\n", "\xEF\xBB\xBFxmin = 0\n"}) {
        FileText in = file_text(bytes);
        const char* before = in.view().data();
        Result<FileText> got = decode_text(std::move(in), Encoding::praat);
        check(got.ok() && got.value().view().data() == before + (bytes.size() - 9), "no copy for UTF-8");
    }
}

std::string temp_dir() {
    char dir_template[] = "/tmp/orvex_decode_XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (!dir) std::abort();
    return dir;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool same(const TextGrid& a, const TextGrid& b) {
    if (a.tmin != b.tmin || a.tmax != b.tmax || a.size != b.size || a.tiers.size() != b.tiers.size()) return false;
    for (std::size_t t = 0; t < a.tiers.size(); ++t) {
        const Tier &x = a.tiers[t], &y = b.tiers[t];
        if (x.name != y.name || x.is_interval != y.is_interval || x.items.size() != y.items.size()) return false;
        for (std::size_t i = 0; i < x.items.size(); ++i) {
            const Item &p = x.items[i], &q = y.items[i];
            if (p.label != q.label || p.tmin != q.tmin || p.tmax != q.tmax) return false;
        }
    }
    return true;
}

// A UTF-16 file reads exactly as its UTF-8 twin, in both layouts and with
// "auto" (which can only see "item []" once the text is decoded).
void test_files_read_as_their_utf8_twins() {
    const std::string dir = temp_dir();
    const std::u16string long_text =
        u"File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\nxmin = 0\r\nxmax = 2\r\n"
        u"tiers? <exists>\r\nsize = 1\r\nitem []:\r\n    item [1]:\r\n        class = \"IntervalTier\"\r\n"
        u"        name = \"w\u00f6rds \U0001F600\"\r\n        xmin = 0\r\n        xmax = 2\r\n"
        u"        intervals: size = 1\r\n        intervals [1]:\r\n            xmin = 0\r\n"
        u"            xmax = 2\r\n            text = \"\u6f22\u5b57\"\r\n";
    const std::u16string short_text =
        u"File type = \"ooTextFile\"\rObject class = \"TextGrid\"\r\r0\r2\r<exists>\r1\r\"TextTier\"\r\"e\"\r"
        u"0\r2\r1\r1.5\r\"\u00e9\"\r";
    struct Twin {
        const char* name;
        std::u16string text;
        const char* file_type;
        Layout layout;
    };
    const std::vector<Twin> twins = {{"long", long_text, "long", Layout::long_},
                                     {"long", long_text, "auto", Layout::auto_},
                                     {"short", short_text, "short", Layout::short_},
                                     {"short", short_text, "auto", Layout::auto_}};
    for (const Twin& twin : twins) {
        std::string utf8;
        {
            Result<FileText> decoded = decode_text(file_text(utf16(twin.text, true)), Encoding::praat);
            if (!decoded) std::abort();
            utf8 = std::string(decoded.value().view());
        }
        write_file(dir + "/twin.TextGrid", utf8);
        const Result<TextGrid> want = read_from_file(dir + "/twin.TextGrid", true, twin.layout);
        check(want.ok() && want.value().tiers.size() == 1, std::string(twin.name) + ": the UTF-8 twin reads");
        for (const bool big_endian : {true, false}) {
            write_file(dir + "/t.TextGrid", utf16(twin.text, big_endian));
            const Result<TextGrid> got = read_from_file(dir + "/t.TextGrid", true, twin.layout, Encoding::praat);
            check(got.ok() && want.ok() && same(got.value(), want.value()) && got.value().name == "t",
                  std::string(twin.name) + " as " + twin.file_type + (big_endian ? ", big endian" : ", little endian"));
            const Result<TextGrid> refused = read_from_file(dir + "/t.TextGrid", true, twin.layout);
            check(!refused.ok() && refused.error().message == "stream did not contain valid UTF-8",
                  std::string(twin.name) + ": the UTF-8 setting refuses UTF-16");
        }
    }
    write_file(dir + "/t.TextGrid", "\xFF\xFE" "a");
    const Result<TextGrid> odd = read_from_file(dir + "/t.TextGrid", false, Layout::auto_, Encoding::praat);
    check(!odd.ok() && odd.error().message.find("odd number of bytes") != std::string::npos, "odd length read error");
    check(!layout_named("Long") && !layout_named("auto ") && layout_named("short") == Layout::short_,
          "only the exact layout names name a layout");
    const Result<TextGrid> missing = read_from_file(dir + "/missing", false, Layout::auto_, Encoding::praat);
    check(!missing.ok() && missing.error().kind == ErrorKind::os, "missing file is an os error");
    std::remove((dir + "/twin.TextGrid").c_str());
    std::remove((dir + "/t.TextGrid").c_str());
    rmdir(dir.c_str());
}

}  // namespace

int main() {
    test_table();
    test_utf8_is_not_copied();
    test_files_read_as_their_utf8_twins();
    return test_support::finish("test_text_decode");
}
