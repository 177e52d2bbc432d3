#include "textgrid/lib.h"

#include "textgrid/file_io.h"
#include "textgrid/parser_long.h"
#include "textgrid/parser_short.h"

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

Result<TextGrid> read_from_file(const std::string& path, bool strict, std::string_view file_type) {
    if (file_type == "long") return read_from_file_long(path, strict);
    if (file_type == "short") return read_from_file_short(path, strict);
    if (file_type != "auto") throw FatalReadError("Unknown file type: " + std::string(file_type));

    // The chosen reader loads the file again by itself, so the text read
    // here is only looked at.
    bool is_long;
    {
        Result<FileText> text = read_text_file(path);
        if (!text) return std::move(text.error());
        is_long = looks_long(text.value().view());
    }
    return is_long ? read_from_file_long(path, strict) : read_from_file_short(path, strict);
}

Result<TextGrid> read_from_file(const std::string& path, bool strict, std::string_view file_type,
                                Encoding encoding) {
    (void)encoding;  // decoding other than UTF-8 is not built yet
    return read_from_file(path, strict, file_type);
}

std::string read_failure_message(std::string_view path, const Error& error) {
    std::string message = "Failed to read TextGrid file ";
    message += path;
    message += " because: ";
    message += error.text();
    return message;
}

}  // namespace textgrid
