// Loading a whole file as UTF-8 text.
#pragma once

#include <string>
#include <string_view>

#include "textgrid/result.h"

namespace textgrid {

struct TextGrid;

// The whole content of the file at `path`. Returns an os error when the file
// cannot be opened or read (a directory included), invalid input when the
// path holds a NUL byte (never cut short into another path), and invalid
// data "stream did not contain valid UTF-8" when the bytes are not UTF-8.
// The file is closed on every path. Throws only std::bad_alloc.
Result<std::string> read_text_file(const std::string& path);

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// The last component of `path` without its last extension: "a/b.c.TextGrid"
// gives "b.c"; a name that starts with its only dot keeps it (".hidden").
std::string file_stem(std::string_view path);

// What both readers share: loads the file, names the TextGrid after the
// file's stem, parses it and, when strict, validates it. Returns the read
// error or the first validation error; `parse` may throw FatalReadError.
Result<TextGrid> read_textgrid_file(const std::string& path, bool strict,
                                    TextGrid (*parse)(std::string_view text, std::string name));

}  // namespace textgrid
