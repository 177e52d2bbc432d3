// Telling the kind of a TextGrid file by its first bytes, as Praat does.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "textgrid/layout/praat_read.h"
#include "textgrid/os/file_io.h"

namespace textgrid {

namespace {

constexpr std::string_view kBinaryMagic = "ooBinaryFile";
constexpr std::string_view kChronologicalHeader = "\"Praat chronological TextGrid text file\"";
// Praat does not recognise a chronological file of fewer bytes.
constexpr std::size_t kChronologicalMinimum = 100;

std::string_view first_line(std::string_view text) noexcept {
    std::size_t n = 0;
    while (n < text.size() && text[n] != '\n' && text[n] != '\r') ++n;
    return text.substr(0, n);
}

// Praat calls a time that is not finite undefined.
bool has_undefined_time(const TextGrid& grid) noexcept {
    if (!std::isfinite(grid.tmin) || !std::isfinite(grid.tmax)) return true;
    for (const Tier& tier : grid.tiers) {
        if (!std::isfinite(tier.tmin) || !std::isfinite(tier.tmax)) return true;
        for (const Item& item : tier.items) {
            if (!std::isfinite(item.tmin) || !std::isfinite(item.tmax)) return true;
        }
    }
    return false;
}

}  // namespace

Result<TextGrid> parse_praat_file(FileText bytes, std::string name, bool strict, Encoding encoding) {
    const std::string_view raw = bytes.view();
    if (raw.empty()) return Error::invalid_data("not a TextGrid file: the file is empty");
    if (raw.starts_with(kBinaryMagic)) {
        Result<TextGrid> grid = parse_praat_binary(raw, std::move(name));
        if (grid && strict && has_undefined_time(grid.value())) {
            return Error::invalid_data("binary TextGrid file holds an undefined time");
        }
        return grid;
    }
    const std::size_t raw_size = raw.size();
    if (raw_size % 2 && (raw.starts_with("\xFE\xFF") || raw.starts_with("\xFF\xFE"))) {
        // Praat reads a UTF-16 text that ends in half a code unit without it.
        TextBuffer copy(raw_size - 1);
        std::memcpy(copy.data(), raw.data(), raw_size - 1);
        bytes = copy.release(raw_size - 1);
    }
    Result<FileText> decoded = decode_text(std::move(bytes), encoding);
    if (!decoded) return std::move(decoded.error());
    std::string_view text = decoded.value().view();
    // Praat drops NUL characters from a text as it reads it. The readers
    // find those among the values themselves; those that would hide the
    // kind of the file are dropped here.
    std::string without_nul;
    const std::size_t head = std::max(first_line(text).size(), kChronologicalHeader.size());
    if (std::memchr(text.data(), 0, std::min(head + 1, text.size()))) {
        without_nul.reserve(text.size());
        for (char c : text) {
            if (c) without_nul.push_back(c);
        }
        text = without_nul;
    }
    if (text.starts_with(kChronologicalHeader)) {
        if (raw_size < kChronologicalMinimum) {
            return Error::invalid_data("not a TextGrid file: a chronological TextGrid file of fewer than 100 bytes");
        }
        return parse_praat_chronological(text, std::move(name), strict);
    }
    if (first_line(text).find("ooTextFile") != std::string_view::npos) {
        return parse_praat_text(text, std::move(name), strict);
    }
    std::string start(first_line(text).substr(0, 40));
    return Error::invalid_data("not a TextGrid file: its first line \"" + start +
                               "\" names neither ooTextFile nor ooBinaryFile");
}

Result<TextGrid> read_praat_file(const std::string& path, bool strict, Encoding encoding, std::size_t* text_bytes) {
    if (text_bytes) *text_bytes = 0;
    Result<FileText> bytes = read_file_bytes(path);
    if (!bytes) return std::move(bytes.error());
    if (text_bytes) *text_bytes = bytes.value().view().size();
    Result<TextGrid> grid = parse_praat_file(std::move(bytes.value()), file_stem(path), strict, encoding);
    if (grid && strict) {
        if (Status st = TextGrid::assert_valid(grid.value()); !st) return std::move(st.error());
    }
    return grid;
}

}  // namespace textgrid
