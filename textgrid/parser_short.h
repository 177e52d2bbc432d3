// The reader of the short text layout: bare values, one per line, at
// positions that follow from the counts read so far.
#pragma once

#include <string>
#include <string_view>

#include "textgrid/result.h"
#include "textgrid/textgrid.h"

namespace textgrid {

// Reads the file at `path`; see parse_short for what is read.
// Returns the file's read error, or (strict) the first validation error.
// Throws FatalReadError as parse_short does.
Result<TextGrid> read_from_file_short(const std::string& path, bool strict);

// Builds a TextGrid from short-layout text. Never validates. Throws
// FatalReadError for an unknown tier class or when the text ends before a
// value the declared counts call for. Reserves nothing from a declared
// count, so a huge count costs no memory before the text runs out.
TextGrid parse_short(std::string_view text, std::string name);

}  // namespace textgrid
