#include "textgrid/text/text_decode.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace textgrid {

namespace {

char* put_utf8(char* out, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

Error utf16_error(const char* problem, std::size_t offset) {
    return Error::invalid_data(std::string("UTF-16 text ") + problem + " at byte " + std::to_string(offset));
}

// `s` is the text after the byte order mark, whose length is `skipped`; the
// offsets in messages count from the start of the file.
Result<FileText> from_utf16(std::string_view s, bool big_endian, std::size_t skipped) {
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (n % 2 != 0) return utf16_error("ends in half a code unit (an odd number of bytes)", skipped + n - 1);
    const std::size_t hi = big_endian ? 0 : 1;
    const auto unit = [&](std::size_t i) -> std::uint32_t {
        return static_cast<std::uint32_t>(u[i + hi] << 8 | u[i + 1 - hi]);
    };
    // A unit of two bytes becomes at most three bytes of UTF-8; a pair of
    // four bytes becomes four.
    TextBuffer out(n / 2 * 3 + 1);
    char* dst = out.data();
    // ASCII mostly, four units at a time: each 16-bit lane of the word is
    // one unit, its bytes swapped on a big-endian file, and must be < 0x80.
    const std::uint64_t not_ascii = big_endian ? 0x80FF80FF80FF80FFULL : 0xFF80FF80FF80FF80ULL;
    const int shift = big_endian ? 8 : 0;
    std::size_t i = 0;
    for (;;) {
        while (i + 8 <= n) {
            std::uint64_t units;
            std::memcpy(&units, u + i, 8);
            if constexpr (std::endian::native == std::endian::big) units = __builtin_bswap64(units);
            if (units & not_ascii) break;
            // The low byte of each lane, packed into four bytes.
            std::uint64_t x = (units >> shift) & 0x00FF00FF00FF00FFULL;
            x = (x | x >> 8) & 0x0000FFFF0000FFFFULL;
            auto four = static_cast<std::uint32_t>(x | x >> 16);
            if constexpr (std::endian::native == std::endian::big) four = __builtin_bswap32(four);
            std::memcpy(dst, &four, 4);
            dst += 4;
            i += 8;
        }
        if (i >= n) break;
        std::uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            const std::uint32_t low = i + 2 < n ? unit(i + 2) : 0;
            if (cp >= 0xDC00 || low < 0xDC00 || low > 0xDFFF) {
                return utf16_error("holds an unpaired surrogate", skipped + i);
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        dst = put_utf8(dst, cp);
        i += 2;
    }
    return out.release(static_cast<std::size_t>(dst - out.data()));
}

FileText from_latin1(std::string_view s) {
    std::size_t high = 0;
    for (const char c : s) high += static_cast<unsigned char>(c) >> 7;
    TextBuffer out(s.size() + high + 1);
    char* w = out.data();
    for (const char c : s) w = put_utf8(w, static_cast<unsigned char>(c));
    return out.release(s.size() + high);
}

bool starts_with(std::string_view s, std::string_view prefix) noexcept {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Most TextGrid text is ASCII: skip it 32 bytes at a time where a
        // vector unit is known to be there, then eight at a time.
#if defined(__SSE2__)
        while (i + 32 <= n) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
            if (_mm_movemask_epi8(_mm_or_si128(a, b))) break;
            i += 32;
        }
#endif
        while (i + 8 <= n) {
            std::uint64_t chunk;
            std::memcpy(&chunk, s + i, 8);
            if (chunk & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

Result<FileText> decode_text(FileText bytes, Encoding encoding) {
    const std::string_view s = bytes.view();
    // Praat's binary layout holds raw doubles: parsed as text it would give
    // garbage, or a misleading complaint about UTF-8.
    if (starts_with(s, "ooBinaryFile")) return Error::invalid_data("binary TextGrid files are not supported");
    if (encoding == Encoding::utf8) {
        if (!is_valid_utf8(s)) return Error::invalid_data("stream did not contain valid UTF-8");
        return bytes;
    }
    if (starts_with(s, "\xFE\xFF")) return from_utf16(s.substr(2), true, 2);
    if (starts_with(s, "\xFF\xFE")) return from_utf16(s.substr(2), false, 2);
    if (starts_with(s, "\xEF\xBB\xBF")) bytes.remove_prefix(3);
    if (is_valid_utf8(bytes.view())) return bytes;
    return from_latin1(bytes.view());
}

}  // namespace textgrid
