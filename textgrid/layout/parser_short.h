// The reader of the short text layout: bare values, one per line, at
// positions that follow from the counts read so far.
#pragma once

#include <string>
#include <string_view>

#include "textgrid/base/result.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

// Builds a TextGrid from short-layout text. Never validates. Throws
// FatalReadError for an unknown tier class or when the text ends before a
// value the declared counts call for. Reserves for a declared count no more
// items than the rest of the text could hold, so a huge count costs no
// memory before the text runs out.
TextGrid parse_short(std::string_view text, std::string name);

}  // namespace textgrid
