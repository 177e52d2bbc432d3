// Turning a file's bytes into text, under both encoding settings. What comes
// out must be UTF-8, and must say what went in: the bytes themselves for
// UTF-8, each byte as its own character for Latin-1, and for UTF-16 the same
// characters, checked by encoding the output back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/text/text_decode.h"

namespace {

textgrid::Result<textgrid::FileText> decode(std::string_view bytes, textgrid::Encoding encoding) {
    char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
    fuzz::check(copy != nullptr, "malloc");
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    return textgrid::decode_text(textgrid::FileText(copy, bytes.size()), encoding);
}

// The code points of well-formed UTF-8.
std::u32string code_points(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

std::string utf16(const std::u32string& cps, bool big_endian) {
    std::string out;
    auto unit = [&](std::uint32_t u) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += big_endian ? hi : lo;
        out += big_endian ? lo : hi;
    };
    for (char32_t cp : cps) {
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const bool binary = in.starts_with("ooBinaryFile");
    const bool utf8 = textgrid::is_valid_utf8(in);

    const auto strict = decode(in, textgrid::Encoding::utf8);
    fuzz::check(strict.ok() == (utf8 && !binary), "utf8 setting accepts exactly UTF-8 text");
    if (strict.ok()) fuzz::check(strict.value().view() == in, "utf8 setting keeps the bytes");

    const auto praat = decode(in, textgrid::Encoding::praat);
    if (binary) {
        fuzz::check(!praat.ok(), "the binary layout is refused");
        return 0;
    }
    const bool be = in.starts_with("\xFE\xFF"), le = in.starts_with("\xFF\xFE");
    if (!(be || le)) {
        fuzz::check(praat.ok(), "only UTF-16 can fail to decode");
    }
    if (!praat.ok()) return 0;
    const std::string_view out = praat.value().view();
    fuzz::check(textgrid::is_valid_utf8(out), "decoded text is UTF-8");
    if (be || le) {
        fuzz::check(utf16(code_points(out), be) == in.substr(2), "UTF-16 decodes to the same characters");
        return 0;
    }
    std::string_view rest = in;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    if (textgrid::is_valid_utf8(rest)) {
        fuzz::check(out == rest, "UTF-8 text is taken as it is, without its mark");
        return 0;
    }
    // Latin-1: each input byte is the code point of that number.
    const std::u32string cps = code_points(out);
    bool same = cps.size() == rest.size() || cps.size() == in.size();
    const std::string_view source = cps.size() == rest.size() ? rest : in;
    for (std::size_t i = 0; same && i < cps.size(); ++i) same = cps[i] == static_cast<unsigned char>(source[i]);
    fuzz::check(same, "Latin-1 gives each byte as its own character");
    return 0;
}
