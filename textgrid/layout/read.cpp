#include "textgrid/layout/read.h"

#include "textgrid/os/file_io.h"
#include "textgrid/layout/parser_long.h"
#include "textgrid/layout/parser_short.h"

namespace textgrid {

namespace {

// Only the long layout has the "item []:" line, which some tools write
// without the blank. Looked for anywhere in the text, as a plain substring.
bool looks_long(std::string_view text) noexcept {
    for (std::size_t at = text.find("item"); at != std::string_view::npos; at = text.find("item", at + 4)) {
        std::string_view rest = text.substr(at + 4);
        if (rest.starts_with(' ')) rest.remove_prefix(1);
        if (rest.starts_with("[]")) return true;
    }
    return false;
}

}  // namespace

std::optional<Layout> layout_named(std::string_view name) noexcept {
    if (name == "long") return Layout::long_;
    if (name == "short") return Layout::short_;
    if (name == "auto") return Layout::auto_;
    return std::nullopt;
}

Result<TextGrid> read_from_file(const std::string& path, bool strict, Layout layout) {
    return read_from_file(path, strict, layout, Encoding::utf8);
}

Result<TextGrid> read_from_file(const std::string& path, bool strict, Layout layout, Encoding encoding,
                                std::size_t* text_bytes) {
    if (text_bytes) *text_bytes = 0;
    TextGrid (*parse)(std::string_view, std::string) = nullptr;
    switch (layout) {
        case Layout::long_: parse = parse_long; break;
        case Layout::short_: parse = parse_short; break;
        case Layout::auto_: break;
    }
    Result<FileText> bytes = read_file_bytes(path);
    if (!bytes) return std::move(bytes.error());
    if (text_bytes) *text_bytes = bytes.value().view().size();
    Result<FileText> text = decode_text(std::move(bytes.value()), encoding);
    if (!text) return std::move(text.error());
    // One load serves both the look and the parse: a second would double
    // the reading of a large file, and could see a file changed meanwhile.
    const std::string_view view = text.value().view();
    if (!parse) parse = looks_long(view) ? parse_long : parse_short;
    TextGrid grid = parse(view, file_stem(path));
    if (strict) {
        if (Status st = TextGrid::assert_valid(grid); !st) return std::move(st.error());
    }
    return grid;
}

std::string read_failure_message(std::string_view path, const Error& error) {
    std::string message = "Failed to read TextGrid file ";
    message += path;
    message += " because: ";
    message += error.text();
    return message;
}

}  // namespace textgrid
