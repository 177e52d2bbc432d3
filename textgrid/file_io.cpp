#include "textgrid/file_io.h"

#include "textgrid/file_descriptor.h"
#include "textgrid/textgrid.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace textgrid {

using detail::FileDescriptor;

Result<std::string> read_text_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return Error::invalid_input("file name contained an unexpected NUL byte");
    }
    int raw_fd;
    do {
        raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) return Error::from_errno(errno);
    FileDescriptor fd(raw_fd);

    // The size is only a hint: files in /proc report 0, and a file may grow
    // while it is read, so read on until end of file.
    struct stat st {};
    std::size_t hint = 0;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        hint = static_cast<std::size_t>(st.st_size);
    }
    std::string text;
    text.resize(hint + 1);  // one spare byte, so that end of file is seen without growing
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) text.resize(text.size() < 4096 ? 8192 : text.size() * 2);
        const ssize_t got = ::read(fd.get(), text.data() + used, text.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error::from_errno(errno);
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    text.resize(used);
    if (!is_valid_utf8(text)) return Error::invalid_data("stream did not contain valid UTF-8");
    return text;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Most TextGrid text is ASCII: skip it eight bytes at a time.
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

std::string file_stem(std::string_view path) {
    std::string_view name = path;
    while (!name.empty() && name.back() == '/') name.remove_suffix(1);
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name == "..") return std::string(name);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name);
    return std::string(name.substr(0, dot));
}

Result<TextGrid> read_textgrid_file(const std::string& path, bool strict,
                                    TextGrid (*parse)(std::string_view text, std::string name)) {
    Result<std::string> text = read_text_file(path);
    if (!text) return std::move(text.error());
    TextGrid grid = parse(text.value(), file_stem(path));
    if (strict) {
        if (Status st = TextGrid::assert_valid(grid); !st) return std::move(st.error());
    }
    return grid;
}

}  // namespace textgrid
