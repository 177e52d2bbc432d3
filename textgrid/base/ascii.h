// ASCII white space, the kind nearly every text this library reads has:
// the trims of the TextGrid readers build on these, and so do the readers
// of the operating system's small files.
#pragma once

#include <string_view>

namespace textgrid {

// Tab, LF, VT, FF, CR or space.
inline bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// s without the ASCII white space at its front.
inline std::string_view trim_ascii_front(std::string_view s) noexcept {
    while (!s.empty() && is_ascii_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    return s;
}

// s without the ASCII white space at its back.
inline std::string_view trim_ascii_back(std::string_view s) noexcept {
    while (!s.empty() && is_ascii_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// s without the ASCII white space at either end.
inline std::string_view trim_ascii(std::string_view s) noexcept { return trim_ascii_back(trim_ascii_front(s)); }

}  // namespace textgrid
