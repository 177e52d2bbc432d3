// The reader of the long text layout ("key = value" lines, tiers and items
// introduced by "item [n]:", "intervals [n]:" and "points [n]:").
#pragma once

#include <string>
#include <string_view>

#include "textgrid/base/result.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

// Builds a TextGrid from long-layout text as one pass over its lines would.
// Lenient: unknown lines and keys are ignored, unreadable numbers read as 0.
// Never validates. Throws FatalReadError for an unknown tier class or for an
// item line before any tier; when a text has several, the first in text
// order. A text of some megabytes is parsed in contiguous chunks at once on
// the worker pool when more than one CPU is available (the calling thread
// takes part and waits for the rest); the result, and the failure thrown,
// are the same as for the one pass. May also throw std::bad_alloc.
TextGrid parse_long(std::string_view text, std::string name);

}  // namespace textgrid
